// The whole-database copy: the copy engine specialised for the 24 system tables of a GIS database.
// The tables come in a fixed order, each critical or not; each destination table is created from
// the built-in catalogue, only the columns the catalogue knows are copied, and the copy can be
// given an identity of its own (the independent copy).
#pragma once

#include <string>

#include "copier/CopyBases.h"

class TCopyOrvelBaseFrame : public TCopyBaseFrame {
 public:
  explicit TCopyOrvelBaseFrame(QWidget* owner = nullptr);

  // Asks for an independent copy; a failed independent-copy step turns it off again.
  bool Unfasten = false;

  void CreateTable(TCopyTableInfo* item) override;
  void ReadInfo() override;
  void CopyTables() override;

  // The 24 system tables in copy order, with their critical marks.
  struct TSysTable {
    const char* Name;
    bool Critical;
  };
  static const std::vector<TSysTable>& SysTables();

 private:
  void MakeIndependent();
};

// Looks a field up by name (ASCII letters folded); Found is the field's name as the definition
// spells it.
bool FindSysField(IOrvDbTableDef* def, const std::string& name, std::string& found);
