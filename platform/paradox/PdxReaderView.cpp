// A reader beside a writer in another process. Readers take no lock, so a read that began before
// another process's change may meet the change's blocks; this file makes such a read end with an
// error that says so, instead of rows of no state the table was ever in. It also keeps the
// writer's half of the bargain: the change stamp.
//
// The writer (its order of writes is stated at the top of PdxFiles.cpp):
//   W1. Overwrites a block the .DB holds only inside a journal window: from the write that makes
//       the first byte of "<table>.JNL" non-zero (J+) to the write that zeroes it again (J-). It
//       holds the table's lock from before J+ to after J- while it lives; one that died leaves the
//       window open until the next writer, holding the lock, plays the journal back or sets it
//       aside (J- is then the journal's going).
//   W2. Writes, after each part's overwrites, the header with a change stamp higher than every
//       stamp before it (bytes 16..1D: two pointers the BDE leaves there from its memory, read by
//       no program). A change taken back by its own writer gets a higher stamp once its old bytes
//       are back, before J-; the next writer gives a dead writer's begun journal a higher stamp
//       before it plays it back or sets it aside. Playing a journal back never puts an older stamp
//       back: the stamp on disk only grows.
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
//   - An overwrite W (the writer's own, or a next writer's playing back what a dead one left) lies
//     in a window (J+, J-). Either J+ > Js, or the window was open at Js: then its writer held the
//     lock (R1 waited it out, unless the lock was taken after Js), or the reader found a dead
//     writer's journal, which it reads through (below) or which is not played back (no W).
//     Take J+ > Js, or the lock taken after Js. At Je > W: if Je < J-, the journal's first byte is
//     not zero, and the lock is held or the journal is not the one seen at Js (that one had another
//     salt, was empty, or was the dead writer's, now taken over). If Je > J-, a stamp written after
//     W (its part's header), or after the dead writer's W and before J- (the next writer's, W2), is
//     higher than the one read at Hs: He differs.
//   - A header written after Hs carries a higher stamp; a header read while being written differs
//     from what the file holds once the write is done. Either way He differs. (A change that only
//     added blocks, W3, reads as a change too, though the chain the reader walked stayed whole.)
//   - A value read wrong was freed and written over after the reader read its record; the change
//     that dropped the record overwrote the record's block after that: the first case.
//   - Through a dead writer's journal the reader reads the table as it stood before that change,
//     the journal's old bytes over the file; only a next writer writes the file, holding the lock
//     until the journal has gone: at Je the lock is held or the journal is not as it was.
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

void TPdxTableState::RaiseStamp() {
  uint8_t disk[kHdrFixedSize] = {};
  Db.ReadAt(0, disk, sizeof disk);
  PutChangeStamp(HeaderBytes.data(), std::max(GetChangeStamp(HeaderBytes.data()), GetChangeStamp(disk)) + 1);
  Db.WriteAt(kHdrChangeStamp, &HeaderBytes[kHdrChangeStamp], 8);
}

}  // namespace paradox
