// The XML name table: maps a name to a small integer id, ids given in the order names are first
// seen. The unit's table is set up at start-up with the five preset names and released at exit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/Interfaces.h"

class IXmlNameTable : public virtual IInterface {
 public:
  // The id of a name, entering it when new; the empty name gives -1.
  virtual int GetID(const std::string& name) = 0;
  // The name of an id, or "" for a negative id.
  virtual std::string GetName(int id) = 0;
};

class TXmlNameTable : public TInterfacedObject, public IXmlNameTable {
 public:
  explicit TXmlNameTable(int hashSize);
  int GetID(const std::string& name) override;
  std::string GetName(int id) override;

 private:
  std::vector<std::string> FNames;
  std::vector<std::vector<int>> FBuckets;
};

// The unit's objects: set up by InitSimpleXML, released by DoneSimpleXML.
RefPtr<IXmlNameTable>& XmlNameTable();
extern std::string BinXmlSignature;  // "< binary-xml >"
extern std::string DefaultEncoding;  // "windows-1251"
void InitSimpleXML();
void DoneSimpleXML();
