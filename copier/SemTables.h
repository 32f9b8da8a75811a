// The stored structure of a semantic table: the binary value kept in ORVEL_SEMTABLS.REFBOOKFIELD
// that lists, for every field of the table, its physical name, a second name and, when the field
// draws its values from a reference book, the book's ID, the book field it shows and further
// book fields. TTableInfo holds one such value in memory as a list of TFieldInfo.
//
// The value (little-endian integers; "stream string" as in foundation/CommonUtils.h):
//
//   offset 0   31 bytes  signature block: length byte 21, "Дополнительные данные" in
//                        Windows-1251, 9 zero bytes
//   offset 31   2 bytes  layout version, unsigned (written: 284)
//   offset 33   2 bytes  field count, signed; a count of 0 or below means no fields
//   offset 35            one field record per field
//
// Field record, version 284 and above (the only layout written):
//   Name, Name2, RefBookID as stream strings; only when RefBookID is not empty: RefName as a
//   stream string, a signed 16-bit value count and one stream string per value.
//
// Field record, versions below 284 and values without the signature (read only). Every block has
// a fixed size and is present whatever RefBookID holds; a "short string" block is a length byte
// followed by as many character bytes as its capacity, of which the length byte says how many count:
//   65 bytes  short string (64): Name, also taken for Name2
//   65 bytes  short string (64): RefName
//   13 bytes  short string (12): RefBookID
//    2 bytes  value count, signed
//   65 bytes per value: short string (64)
// A value without the signature is read in this layout, its first 31 bytes skipped whatever they
// hold and the field count taken from bytes 31..32.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/ObjectLists.h"
#include "platform/rtl/Classes.h"

// Raised by SaveToStream for a structure that the stored layout cannot hold. Nothing has been
// written to the stream when it is raised.
class ESemStructError : public Exception {
  using Exception::Exception;
};

// The layout version that field records are read in. Outside a load it holds 284; while
// TTableInfo::LoadFromStream runs it holds the version of the value being read (283 for a value
// without the signature), and the load restores it on every way out.
extern uint16_t SemStructVersion;

// The 31-byte signature block that opens every structure value written.
const std::string& SemStructSignature();

// One field of a semantic table.
class TFieldInfo : public TObject {
 public:
  // The longest RefBookID the structure holds (the ID column of ORVEL_REFBOOKS is as wide).
  static constexpr std::size_t MaxRefBookIDLength = 12;

  std::string Name;       // physical name in the semantic table
  std::string Name2;      // second name
  std::string RefBookID;  // ID of the reference book, at most 12 characters; empty: none
  std::string RefName;    // reference-book field shown; meaningful only with a RefBookID
  TStringList Values;     // further reference-book fields; meaningful only with a RefBookID

  bool HasRefBook() const { return !RefBookID.empty(); }

  // Reads one field record in the layout SemStructVersion selects; Values is cleared first.
  // A first-layout record that ends early raises the stream's EReadError. A second-layout block
  // that ends early counts its missing bytes as zero, a block of which no byte is left included,
  // and a length byte above the block's capacity is taken as the capacity.
  // On a failure the fields read so far keep their new values.
  void LoadFromStream(TStream& stream);
  // Writes one field record in the current layout. Raises ESemStructError, writing nothing, for
  // a RefBookID longer than 12 characters or more than 32767 values with a reference book.
  void SaveToStream(TStream& stream) const;

 private:
  void LoadCurrentLayout(TStream& stream);
  void LoadOldLayout(TStream& stream);
  // Raises ESemStructError for a field the current layout cannot hold.
  void CheckStorable() const;
  // The record in the current layout, for a field that CheckStorable accepted.
  void WriteRecord(TStream& stream) const;
  friend class TTableInfo;
};

// The fields of one semantic table, in stored order. The table owns its fields.
class TTableInfo : public TObject {
 public:
  // The most fields a structure, and values a field, can hold: counts are signed 16-bit.
  static constexpr int MaxCount = 32767;

  int Count() const { return FFields.Count(); }
  // The field at a 0-based position; EListError outside 0..Count()-1.
  TFieldInfo* Fields(int index) const;
  // Appends a field, which the table owns from then on; returns its position. A null field, or
  // one already in the table, raises ESemStructError and is not taken.
  int Add(TFieldInfo* field);
  // Takes a field out of the table without freeing it (the caller owns it from then on);
  // returns the position it had, or -1 when it was not in the table.
  int Remove(TFieldInfo* field);
  // The first field whose Name equals name, ignoring letter case as the user's locale does
  // (Cyrillic included); null when there is none.
  TFieldInfo* FindField(const std::string& name) const;

  // Replaces the fields by those of the structure value that starts at the stream's position.
  // Fewer than 33 bytes left: no fields and no error. A current-layout value that ends inside a
  // record raises EReadError; the fields read before it stay, the one being read is dropped.
  void LoadFromStream(TStream& stream);
  // Writes the whole structure value in the current layout, version 284. A structure the layout
  // cannot hold (more than 32767 fields, see also TFieldInfo::SaveToStream) raises
  // ESemStructError before anything is written.
  void SaveToStream(TStream& stream) const;

 private:
  TObjectList FFields;
};
