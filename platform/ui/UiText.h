// Texts crossing into and out of Qt widgets. Inside the system every text is a Windows-1251 byte
// string; Qt holds UTF-16. Every widget of the system converts at this edge with these helpers.
#pragma once

#include <QString>
#include <string>
#include <string_view>

// Windows-1251 to QString; every byte has a character, so this never fails.
QString ToQString(std::string_view ansi);

// QString to Windows-1251. A character that Windows-1251 lacks raises EConvertError naming the text.
std::string FromQString(const QString& text);

// QString to Windows-1251, with `replacement` standing for each character Windows-1251 lacks;
// for texts a user typed, where refusing the whole text would lose it.
std::string FromQStringLossy(const QString& text, char replacement = '?');
