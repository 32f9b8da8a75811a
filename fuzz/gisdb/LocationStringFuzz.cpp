// Any bytes as a location string: either a list comes back, whose written form reads back to the
// same text, or the parameter error is raised. Nothing else may happen.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gisdb/DbConnParams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string s(reinterpret_cast<const char*>(data), size);
  try {
    IConnParamsPtr p = StrToConnParams(s);
    std::string text, again;
    p->GetText(text);
    StrToConnParams(ConnParamsToStr(p.get()))->GetText(again);
    if (text != again) std::abort();
  } catch (const Exception& e) {
    if (e.Message() != "Ошибка открытия базы данных: некорректные параметры"_ansi) std::abort();
  }
  return 0;
}
