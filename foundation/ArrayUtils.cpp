#include "foundation/ArrayUtils.h"

#include <algorithm>

#include "foundation/CommonUtils.h"
#include "platform/rtl/SysUtils.h"

void TStrArray::Init(int32_t capacity) {
  Count = 0;
  Items.resize(static_cast<std::size_t>(std::max(0, capacity)));
}

int32_t TStrArray::Add(const std::string& text) {
  auto capacity = static_cast<int32_t>(Items.size());
  if (capacity <= Count) Items.resize(static_cast<std::size_t>(std::max(1, capacity) * 2));
  Items[static_cast<std::size_t>(Count)] = text;
  return Count++;
}

void TStrArray::Split(const std::string& text, const std::string& separator) {
  Init(0);
  if (text.empty()) return;
  std::size_t from = 0;
  for (;;) {
    std::size_t at = separator.empty() ? std::string::npos : text.find(separator, from);
    if (at == std::string::npos) {
      Add(text.substr(from));
      return;
    }
    Add(text.substr(from, at - from));
    from = at + separator.size();
  }
}

std::string TStrArray::Join(const std::string& separator, const std::string& itemFormat) const {
  return JoinRange(0, Count, separator, itemFormat);
}

std::string TStrArray::JoinRange(int32_t start, int32_t number, const std::string& separator,
                                 const std::string& itemFormat) const {
  start = std::max(start, 0);
  if (number < 1 || start >= Count) return std::string();
  const int32_t last = static_cast<int32_t>(std::min<int64_t>(Count, int64_t(start) + number)) - 1;
  auto item = [&](int32_t i) {
    const std::string& s = Items[static_cast<std::size_t>(i)];
    return itemFormat.empty() ? s : Format(itemFormat, {s});
  };
  TStringBuilder builder;
  builder.Append(item(start));
  for (int32_t i = start + 1; i <= last; ++i) {
    builder.Append(separator);
    builder.Append(item(i));
  }
  return builder.ToString();
}
