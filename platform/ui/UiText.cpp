#include "platform/ui/UiText.h"

#include "platform/rtl/AnsiText.h"

QString ToQString(std::string_view ansi) {
  const std::u16string utf16 = AnsiToUtf16(ansi);
  return QString::fromUtf16(utf16.data(), static_cast<qsizetype>(utf16.size()));
}

std::string FromQString(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return Utf8ToAnsi(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

std::string FromQStringLossy(const QString& text, char replacement) {
  const QByteArray utf8 = text.toUtf8();
  return Utf8ToAnsi(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), replacement);
}
