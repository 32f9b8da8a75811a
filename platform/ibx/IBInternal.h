// Helpers shared by the component sources: status vectors to exceptions, parameter blocks.
#pragma once

#include <ibase.h>

#include <cstdint>
#include <string>

#include "platform/ibx/IBDatabase.h"

namespace ibx_internal {

// Raises the EIBInterBaseError that the status vector describes.
[[noreturn]] void RaiseStatus(const ISC_STATUS* status);

// Calls raising the status vector's error when the call fails.
#define IBX_CHECK(call)                                   \
  do {                                                    \
    if (call) ::ibx_internal::RaiseStatus(status);        \
  } while (0)

// A database or transaction parameter block being built: tags, counted strings, 4-byte integers.
class ParamBlock {
 public:
  void AddByte(uint8_t tag) { FData += static_cast<char>(tag); }
  // EIBClientError for a value longer than 255 bytes, naming the value by caption (what the
  // user calls it: "Пароль", ...).
  void AddString(uint8_t tag, const std::string& value, const std::string& caption);
  void AddInt(uint8_t tag, int32_t value);
  const std::string& Data() const { return FData; }

 private:
  std::string FData;
};

void SplitParam(const std::string& line, const char* prefix, std::string& name, std::string& value);

}  // namespace ibx_internal
