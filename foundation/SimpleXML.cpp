#include "foundation/SimpleXML.h"

TXmlNameTable::TXmlNameTable(int hashSize) : FBuckets(static_cast<std::size_t>(hashSize)) {
  for (const char* preset : {"#text", "#cdata-section", "#comment", "#document", "xml"}) GetID(preset);
}

int TXmlNameTable::GetID(const std::string& name) {
  if (name.empty()) return -1;
  uint32_t hash = 0;
  for (char c : name) hash = hash * 33 + static_cast<unsigned char>(c);
  auto& bucket = FBuckets[hash % FBuckets.size()];
  for (int id : bucket)
    if (FNames[static_cast<std::size_t>(id)] == name) return id;
  FNames.push_back(name);
  int id = static_cast<int>(FNames.size()) - 1;
  bucket.push_back(id);
  return id;
}

std::string TXmlNameTable::GetName(int id) {
  if (id < 0 || id >= static_cast<int>(FNames.size())) return std::string();
  return FNames[static_cast<std::size_t>(id)];
}

RefPtr<IXmlNameTable>& XmlNameTable() {
  static RefPtr<IXmlNameTable> table;
  return table;
}

std::string BinXmlSignature;
std::string DefaultEncoding;

void InitSimpleXML() {
  XmlNameTable() = RefPtr<IXmlNameTable>(new TXmlNameTable(4096));
  BinXmlSignature = "< binary-xml >";
  DefaultEncoding = "windows-1251";
}

void DoneSimpleXML() {
  XmlNameTable().reset();
  BinXmlSignature.clear();
  DefaultEncoding.clear();
}
