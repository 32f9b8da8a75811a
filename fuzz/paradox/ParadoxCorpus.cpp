// Makes starting inputs for the Paradox fuzz targets with the engine itself, packed as PdxFuzzInput.h
// describes, into the folder given:
//   table        a keyed table with a memo field (.MB), a required field (.VAL) and a secondary
//                index (.X02/.Y02) besides its primary one (.PX);
//   <change>-<n> that table as a writer left it that died at its n-th write to the .DB in the
//                middle of a change (a batch of inserts, an update, a delete): every file
//                operation failed from that write on, so the change's journal stays beside it.
// They are made at run time and not kept in the project.
//   ./paradox_corpus start/
#include <cerrno>
#include <functional>
#include <iostream>

#include "fuzz/paradox/PdxFuzzInput.h"

using namespace paradox;
using namespace pdxfuzz;

namespace {

// The operating system's files until the n-th write to a .DB: that write and every operation
// after it fail, reads too, as in a process killed there (so nothing is taken back).
class TDyingEnv : public TPdxEnv {
 public:
  explicit TDyingEnv(int n) : FLeft(n) {}
  bool Dead() const { return FLeft <= 0; }

  int Open(const std::string& path, bool write, std::unique_ptr<TPdxFile>& file) override {
    return Dead() ? EIO : Wrap(path, Base().Open(path, write, file), file);
  }
  int Create(const std::string& path, std::unique_ptr<TPdxFile>& file) override {
    return Dead() ? EIO : Wrap(path, Base().Create(path, file), file);
  }
  int Rename(const std::string& from, const std::string& to) override { return Dead() ? EIO : Base().Rename(from, to); }
  int Link(const std::string& from, const std::string& to) override { return Dead() ? EIO : Base().Link(from, to); }
  int Remove(const std::string& path) override { return Dead() ? EIO : Base().Remove(path); }
  int SyncFolder(const std::string& folder) override { return Dead() ? EIO : Base().SyncFolder(folder); }

 private:
  class TDyingFile : public TPdxFile {
   public:
    TDyingFile(TDyingEnv& env, bool db, std::unique_ptr<TPdxFile> file) : FEnv(env), FDb(db), FFile(std::move(file)) {}
    int Read(uint64_t off, void* buf, size_t n, size_t& got) override {
      got = 0;
      return FEnv.Dead() ? EIO : FFile->Read(off, buf, n, got);
    }
    int Write(uint64_t off, const void* buf, size_t n) override {
      if (FEnv.Dead() || (FDb && --FEnv.FLeft == 0)) return EIO;
      return FFile->Write(off, buf, n);
    }
    int Sync() override { return FEnv.Dead() ? EIO : FFile->Sync(); }
    int Truncate(uint64_t size) override { return FEnv.Dead() ? EIO : FFile->Truncate(size); }
    int Size(uint64_t& size) override { return FEnv.Dead() ? EIO : FFile->Size(size); }
    int Lock(TLockOp op) override { return FEnv.Dead() && op != lkRelease ? EIO : FFile->Lock(op); }

   private:
    TDyingEnv& FEnv;
    bool FDb;
    std::unique_ptr<TPdxFile> FFile;
  };

  static TPdxEnv& Base() { return TPdxEnv::Default(); }
  int Wrap(const std::string& path, int e, std::unique_ptr<TPdxFile>& file) {
    if (e == 0) {
      std::string ext = fs::path(path).extension().string();
      file = std::make_unique<TDyingFile>(*this, ext == ".DB" || ext == ".db", std::move(file));
    }
    return e;
  }
  int FLeft;
};

std::vector<Variant> Row(int key) {
  return {Variant(int32_t(key)), Variant("name" + std::to_string(key)),
          Variant(std::string(size_t(key * 37 % 300), char('a' + key % 26))), Variant(int16_t(key))};
}

void Save(const fs::path& out, const std::string& name, const TFiles& files) {
  const std::string input = Pack(files);
  std::ofstream(out / name, std::ios::binary).write(input.data(), std::streamsize(input.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: paradox_corpus <folder>\n";
    return 2;
  }
  const fs::path out = argv[1];
  fs::create_directories(out);
  const fs::path dir = Folder("pdxcorpus");
  try {
    Lay(dir, {});
    TPdxTableDef def;
    def.BlockSize = 1024;
    def.Fields = {{"Id", TPdxFieldType::Long}, {"Name", TPdxFieldType::Alpha, 20, true},
                  {"Note", TPdxFieldType::Memo, 10}, {"Qty", TPdxFieldType::Short}};
    def.KeyFieldCount = 1;
    def.Indexes.resize(1);
    def.Indexes[0].Fields = {1};
    TPdxDatabase(dir.string()).CreateTable(kTable, def);
    {
      auto t = TPdxDatabase(dir.string()).OpenTable(kTable);
      for (int k = 0; k < 40; k += 2) t->Append(Row(k));
    }
    const TFiles table = Snapshot(dir);
    Save(out, "table", table);

    const std::vector<std::pair<std::string, std::function<void(TPdxTable&)>>> changes = {
        {"batch", [](TPdxTable& t) {
           t.BeginBatch();
           for (int k = 1; k < 40; k += 4) t.Append(Row(k));
           t.EndBatch();
         }},
        {"update", [](TPdxTable& t) {
           TPdxRecordPos pos;
           if (t.FindKey({Variant(int32_t(30))}, pos)) t.Update(pos, Row(31));
         }},
        {"delete", [](TPdxTable& t) {
           TPdxRecordPos pos;
           if (t.FindKey({Variant(int32_t(2))}, pos)) t.Delete(pos);
         }},
    };
    for (auto& [name, change] : changes) {
      for (int n = 1;; ++n) {
        Lay(dir, table);
        TDyingEnv env(n);
        try {
          change(*TPdxDatabase(dir.string(), {}, &env).OpenTable(kTable));
        } catch (const EPdxError&) {
        }
        if (!env.Dead()) break;
        // (A writer that died before it wrote anything left the table as it was.)
        if (const TFiles left = Snapshot(dir); left != table) Save(out, name + "-" + std::to_string(n), left);
      }
    }
  } catch (const EPdxError& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  Lay(dir, {});
  fs::remove(dir);
  return 0;
}
