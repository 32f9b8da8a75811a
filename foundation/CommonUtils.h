// Small helpers the rest of the program leans on: a growable string builder, number parsing
// with either decimal separator, freeing the objects a list holds, byte/integer/string
// primitives on streams, and the reader of command-line switches of the form -Name:value.
//
// Stream string format (also part of the stored structure of semantic tables):
//   length 0..253:   one byte L, then L bytes of text;
//   length >= 254:   the byte 254, a 4-byte little-endian signed length, then the text.
// A reader takes any first byte other than 254 (255 included) as the length itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"

// A growable buffer of characters: Buffer's length is the capacity, Length the characters in use.
struct TStringBuilder {
  std::string Buffer;
  int32_t Length = 0;

  void Clear();
  // Inserts text at a 1-based position; positions below 1 insert at the front, positions past
  // the end append. Grows the capacity by a quarter (over 64), 16 (9..64) or 4 (up to 8).
  void Insert(int32_t pos, const std::string& text);
  void Append(const std::string& text) { Insert(Length + 1, text); }
  std::string ToString() const { return Buffer.substr(0, static_cast<std::size_t>(Length)); }
};

// Parses a number written with '.' or ',' as decimal separator: the first separator character
// that is not the locale's own is taken for it. Raises EConvertError on text that is no number.
double StrToFloatAnySep(const std::string& text);

// Frees every object a list holds, from the last entry to the first; the list stays, empty.
void FreeListObjects(TList* list);
// Frees the objects of a string list from the last line up, deleting each line; the list stays.
void FreeStringsObjects(TStrings* strings);
// FreeStringsObjects, then frees the list itself.
void FreeStringsAndObjects(TStrings* strings);

// Exact stream primitives: a short read raises EReadError, a failed write EWriteError, and the
// stream stays where the failure happened.
uint8_t StreamReadByte(TStream& stream);
void StreamWriteByte(TStream& stream, uint8_t value);
int32_t StreamReadInt(TStream& stream);
void StreamWriteInt(TStream& stream, int32_t value);
void StreamReadStr(TStream& stream, std::string& value);
void StreamWriteStr(TStream& stream, const std::string& value);

// The program's command-line arguments after the program name, in Windows-1251. The entry
// point sets them once; FindCmdLineValue reads them.
void SetCommandLineArgs(std::vector<std::string> args);
const std::vector<std::string>& CommandLineArgs();

// Finds the first argument "-Name:value" or "/Name:value" (the name compared case-insensitively
// in the user's locale) and returns its value, possibly empty.
bool FindCmdLineValue(const std::string& name, std::string& value);
