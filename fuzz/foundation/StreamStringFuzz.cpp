// Any bytes as a sequence of stream strings: each read either returns a string that writes back
// to the same bytes (for lengths below 254, or in the long form) or raises the read error;
// memory never grows past the bytes that are left.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/CommonUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream in(std::string(reinterpret_cast<const char*>(data), size));
  try {
    while (in.Position() < in.Size()) {
      std::string s;
      StreamReadStr(in, s);
      if (s.size() > size) std::abort();
      TMemoryStream out;
      StreamWriteStr(out, s);
      in.SetPosition(in.Position());  // keep reading where the last string ended
      TMemoryStream check(out.DataString());
      std::string back;
      StreamReadStr(check, back);
      if (back != s) std::abort();
    }
  } catch (const EReadError&) {
  }
  return 0;
}
