// A reader beside a writer in another process. Readers take no lock, so a read that began before
// another process's change may meet the change's blocks; this file makes such a read end with an
// error that says so, instead of rows of no state the table was ever in. It also keeps the
// writer's half of the bargain: the change stamp.
//
// The writer (its order of writes is stated at the top of PdxFiles.cpp):
//   W1. Overwrites a block the .DB holds only inside a journal window: from the write that makes
//       the first byte of "<table>.JNL" non-zero (J+) to the write that zeroes it again (J-). It
//       holds the table's lock from before J+ to after J- while it lives; one that died leaves the
//       window open until the next writer, holding the lock, plays the journal back.
//   W2. Writes, after each part's overwrites, the header with a change stamp higher than every
//       stamp before it (bytes 16..1D: two pointers the BDE leaves there from its memory, read by
//       no program). A change taken back, by its own writer or by the next one, gets a higher stamp
//       once its old bytes are back and before its journal is emptied; playing a journal back never
//       puts an older stamp back.
//   W3. Writes blocks past the header's end before the header that tells of them, and an .MB value
//       before the record that points at it; frees a value only once the change that dropped its
//       record is whole, and writes over it only after that.
// The reader (for a table that no handle of this process holds for writing):
//   R1. At its start (time Js) asks the lock, then looks at the journal; while the lock is held and
//       the journal's first byte is not zero, waits (3 s at most, then refuses). It keeps what it
//       saw of the journal: whether it is there, its size, its first bytes.
//   R2. Then (Hs) reads the header, keeping its fixed part as the file holds it, and only then
//       takes the file's size.
//   R3. At the end of its walk, and whenever a block or a value does not fit (a link, a count, a
//       block past the end, a value's block), asks the lock and looks at the journal (Je), then
//       reads the fixed header again (He). The table changed under it when: the journal's first
//       byte is not zero, and the lock is held or the journal is not the one seen at Js; or it
//       read through a dead writer's journal, and the lock is held or that journal is no longer as
//       it was; or the header differs from the one read at Hs (but for byte 4F, "indexes out of
//       date", which only ever asks for a rebuild).
// Why that is enough. Rows of no state come only from a write, after Hs and before the reader's
// last read, to a block or value it read or to the header it read.
//   - An overwrite W lies in a window (J+, J-) with J+ > Js: had the window been open at Js, its
//     writer would have held the lock then (R1 waits it out), or have been dead (and a dead writer
//     writes no W after Hs; the next writer's W comes after it took the lock and closed that
//     window). At Je > W: if Je < J-, the journal's first byte is not zero and the journal is not
//     the one seen at Js (whatever was there had another salt, or was empty). If Je > J-, a stamp
//     was written after W and before J- (W2), higher than the one read at Hs < W: He differs.
//   - A header written after Hs carries a higher stamp; a header read while being written differs
//     from what the file holds once the write is done. Either way He differs. (A change that only
//     added blocks, W3, reads as a change too, though the chain the reader walked stayed whole.)
//   - A value read wrong was freed and written over after the reader read its record; the change
//     that dropped the record overwrote the record's block after that: the first case.
//   - Through a dead writer's journal the reader reads the table as it stood before that change;
//     only a next writer writes the file, and it holds the lock until it has emptied the journal.
// A read that stops before its end is not checked.
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/paradox/PdxTableState.h"

namespace paradox {

using namespace detail;

namespace {
// The first bytes of a journal that a reader keeps: its header and more.
constexpr size_t kJournalHead = 512;
}  // namespace

std::string TPdxTableState::JournalPath() const { return TJournal::PathFor(DbPath); }

TJournalLook TPdxTableState::LookAtJournalFile(const std::string& path) const {
  TJournalLook look;
  std::unique_ptr<TPdxFile> f;
  if (int e = Env->Open(path, false, f)) {
    if (e == ENOENT) return look;
    throw EPdxError("Не удаётся открыть файл "_ansi + QuotePath(path) + ": " + SystemError(e));
  }
  look.Present = true;
  std::string head(kJournalHead, '\0');
  size_t got = 0;
  int e = f->Size(look.Size);
  if (!e) e = f->Read(0, head.data(), head.size(), got);
  if (e) throw EPdxError("Ошибка чтения файла "_ansi + QuotePath(path) + ": " + SystemError(e));
  head.resize(got);
  look.Head = std::move(head);
  return look;
}

bool TPdxTableState::WaitForWriter(const std::string& journal, TJournalLook* seen) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (;;) {
    const bool held = Db.Lock(TPdxFile::lkProbe) == EAGAIN;
    TJournalLook look = LookAtJournalFile(journal);
    if (!held || !look.Begun()) {
      if (seen) *seen = std::move(look);
      return held;
    }
    if (std::chrono::steady_clock::now() > deadline)
      throw EPdxError(TableText() + " сейчас изменяется другой программой; повторите попытку позже"_ansi);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<uint8_t> TPdxTableState::StampedHeader() const {
  std::vector<uint8_t> h(kHdrFixedSize);
  h.resize(Db.ReadAt(0, h.data(), h.size()));
  if (h.size() > kHdrIndexesOutOfDate) h[kHdrIndexesOutOfDate] = 0;
  return h;
}

bool TPdxTableState::ChangedOutside(const TReadStart& start) {
  if (Writer) return false;  // no other process writes while this one holds the lock
  const bool held = Db.Lock(TPdxFile::lkProbe) == EAGAIN;
  const TJournalLook look = LookAtJournalFile(JournalPath());
  if ((look.Begun() || start.Overlay) && (held || look != start.Journal)) return true;
  return StampedHeader() != start.Header;
}

void TPdxTableState::ChangedWhileRead() const {
  throw EPdxError(TableText() + " изменена другой программой во время чтения; повторите попытку"_ansi);
}

// Reads the table's files as they stand. A read that met a change under way (a block that did not
// fit, or a dead writer's journal that a next writer took over while it was read) reads them
// again, a few times; damage where nothing changed meanwhile is the table's own.
void TPdxTableState::ReadOutside(bool reader) {
  for (int tries = 1;; ++tries) {
    TReadStart before;
    before.Journal = LookAtJournalFile(JournalPath());
    before.Header = StampedHeader();
    try {
      ReadFiles(reader);
      if (!Start.Overlay || Start.Journal == before.Journal) return;
    } catch (const EPdxCorrupt&) {
      if (!ChangedOutside(before)) throw;
    }
    if (tries == 4) ChangedWhileRead();
  }
}

bool TPdxTableState::Stale() {
  TJournalLook look;
  WaitForWriter(JournalPath(), &look);
  return look != Start.Journal || StampedHeader() != Start.Header;
}

void TPdxTableState::NextStamp() {
  PutChangeStamp(HeaderBytes.data(), GetChangeStamp(HeaderBytes.data()) + 1);
}

void TPdxTableState::RaiseStamp(const TJournal::TImage* image) {
  uint8_t disk[kHdrFixedSize] = {};
  Db.ReadAt(0, disk, sizeof disk);
  uint64_t top = std::max(GetChangeStamp(HeaderBytes.data()), GetChangeStamp(disk));
  if (image)
    for (const auto& e : image->Entries)
      if (e.Offset == 0 && e.New.size() >= kHdrChangeStamp + 8)
        top = std::max(top, GetChangeStamp(reinterpret_cast<const uint8_t*>(e.New.data())));
  PutChangeStamp(HeaderBytes.data(), top + 1);
  Db.WriteAt(kHdrChangeStamp, &HeaderBytes[kHdrChangeStamp], 8);
}

}  // namespace paradox
