#include "platform/rtl/Classes.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

#include "platform/rtl/Interfaces.h"

std::string TObject::ClassName() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : mangled;
  auto colon = name.rfind("::");
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

int32_t TInterfacedObject::_Release() {
  int32_t count = --FRefCount;
  if (count == 0) delete this;
  return count;
}

// --- TList -------------------------------------------------------------------------------

void TList::Error(int index) {
  throw EListError(Format("Индекс списка вне допустимых границ (%d)"_ansi, {index}));
}

TObject* TList::Items(int index) const {
  if (index < 0 || index >= Count()) Error(index);
  return FItems[static_cast<std::size_t>(index)];
}

void TList::SetItems(int index, TObject* item) {
  if (index < 0 || index >= Count()) Error(index);
  FItems[static_cast<std::size_t>(index)] = item;
}

int TList::Add(TObject* item) {
  FItems.push_back(item);
  return Count() - 1;
}

void TList::Insert(int index, TObject* item) {
  if (index < 0 || index > Count()) Error(index);
  FItems.insert(FItems.begin() + index, item);
}

void TList::Delete(int index) {
  if (index < 0 || index >= Count()) Error(index);
  FItems.erase(FItems.begin() + index);
}

void TList::Move(int from, int to) {
  if (from == to) return;
  TObject* item = Items(from);
  if (to < 0 || to >= Count()) Error(to);
  FItems.erase(FItems.begin() + from);
  FItems.insert(FItems.begin() + to, item);
}

void TList::Exchange(int a, int b) {
  TObject* x = Items(a);
  TObject* y = Items(b);
  FItems[static_cast<std::size_t>(a)] = y;
  FItems[static_cast<std::size_t>(b)] = x;
}

int TList::IndexOf(const TObject* item) const {
  auto it = std::find(FItems.begin(), FItems.end(), item);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

int TList::Remove(const TObject* item) {
  int i = IndexOf(item);
  if (i >= 0) Delete(i);
  return i;
}

void TList::Clear() {
  FItems.clear();
  FItems.shrink_to_fit();
}

// --- TStrings ----------------------------------------------------------------------------

void TStrings::Check(int index) const {
  if (index < 0 || index >= Count())
    throw EListError(Format("Индекс списка вне допустимых границ (%d)"_ansi, {index}));
}

const std::string& TStrings::Strings(int index) const {
  Check(index);
  return FLines[static_cast<std::size_t>(index)].text;
}

void TStrings::SetStrings(int index, const std::string& s) {
  Check(index);
  FLines[static_cast<std::size_t>(index)].text = s;
  ++FChanges;
}

TObject* TStrings::Objects(int index) const {
  Check(index);
  return FLines[static_cast<std::size_t>(index)].object;
}

void TStrings::SetObjects(int index, TObject* obj) {
  Check(index);
  FLines[static_cast<std::size_t>(index)].object = obj;
}

int TStrings::AddObject(const std::string& s, TObject* obj) {
  FLines.push_back({s, obj});
  ++FChanges;
  return Count() - 1;
}

void TStrings::Insert(int index, const std::string& s, TObject* obj) {
  if (index < 0 || index > Count())
    throw EListError(Format("Индекс списка вне допустимых границ (%d)"_ansi, {index}));
  FLines.insert(FLines.begin() + index, Line{s, obj});
  ++FChanges;
}

void TStrings::Delete(int index) {
  Check(index);
  FLines.erase(FLines.begin() + index);
  ++FChanges;
}

void TStrings::Move(int from, int to) {
  if (from == to) return;
  Check(from);
  Check(to);
  Line line = FLines[static_cast<std::size_t>(from)];
  FLines.erase(FLines.begin() + from);
  FLines.insert(FLines.begin() + to, line);
  ++FChanges;
}

void TStrings::Exchange(int a, int b) {
  Check(a);
  Check(b);
  std::swap(FLines[static_cast<std::size_t>(a)], FLines[static_cast<std::size_t>(b)]);
  ++FChanges;
}

int TStrings::IndexOf(const std::string& s) const {
  for (int i = 0; i < Count(); ++i)
    if (AnsiSameText(FLines[static_cast<std::size_t>(i)].text, s)) return i;
  return -1;
}

int TStrings::IndexOfObject(const TObject* obj) const {
  for (int i = 0; i < Count(); ++i)
    if (FLines[static_cast<std::size_t>(i)].object == obj) return i;
  return -1;
}

std::string TStrings::Names(int index) const {
  const std::string& s = Strings(index);
  auto eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string TStrings::ValueFromIndex(int index) const {
  const std::string& s = Strings(index);
  auto eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

void TStrings::SetValueFromIndex(int index, const std::string& value) {
  SetStrings(index, Names(index) + "=" + value);
}

int TStrings::IndexOfName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = FLines[static_cast<std::size_t>(i)].text;
    auto eq = s.find('=');
    if (eq != std::string::npos && AnsiSameText(std::string_view(s).substr(0, eq), name)) return i;
  }
  return -1;
}

std::string TStrings::Values(const std::string& name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStrings::SetValues(const std::string& name, const std::string& value) {
  int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
  } else if (i < 0) {
    Add(name + "=" + value);
  } else {
    SetStrings(i, name + "=" + value);
  }
}

std::string TStrings::Text() const {
  std::string out;
  for (const auto& line : FLines) out += line.text + "\r\n";
  return out;
}

void TStrings::SetText(const std::string& text) {
  Clear();
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
    Add(text.substr(i, j - i));
    if (j < text.size() && text[j] == '\r') ++j;
    if (j < text.size() && text[j] == '\n') ++j;
    i = j;
  }
}

// --- streams -----------------------------------------------------------------------------

int64_t TStream::Size() {
  int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EReadError("Ошибка чтения потока"_ansi);
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EWriteError("Ошибка записи в поток"_ansi);
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  int64_t left = count;
  std::vector<char> buf(static_cast<std::size_t>(std::min<int64_t>(left, 1 << 16)));
  while (left > 0) {
    int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buf.size()));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    left -= n;
  }
  return count;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t avail = static_cast<int64_t>(FData.size()) - FPos;
  int64_t n = std::max<int64_t>(0, std::min(count, avail));
  if (n > 0) std::memcpy(buffer, FData.data() + FPos, static_cast<std::size_t>(n));
  FPos += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  auto end = static_cast<std::size_t>(FPos + count);
  if (end > FData.size()) FData.resize(end);
  std::memcpy(FData.data() + FPos, buffer, static_cast<std::size_t>(count));
  FPos += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::soBeginning ? 0
                 : origin == TSeekOrigin::soCurrent ? FPos
                                                    : static_cast<int64_t>(FData.size());
  FPos = std::max<int64_t>(0, base + offset);
  return FPos;
}

void TMemoryStream::SetSize(int64_t size) {
  FData.resize(static_cast<std::size_t>(std::max<int64_t>(0, size)));
  if (FPos > size) FPos = size;
}

namespace {
[[noreturn]] void FileError(const std::string& what, const std::string& fileName) {
  throw EFileError(Format("%s \"%s\": %s"_ansi,
                          {what, Utf8ToAnsi(fileName, '?'), Utf8ToAnsi(std::strerror(errno), '?')}));
}
}  // namespace

TFileStream::TFileStream(const std::string& fileName, Mode mode) : FFileName(fileName) {
  int flags = mode == fmOpenRead ? O_RDONLY : mode == fmOpenReadWrite ? O_RDWR : (O_RDWR | O_CREAT | O_TRUNC);
  FHandle = ::open(fileName.c_str(), flags | O_CLOEXEC, 0666);
  if (FHandle < 0)
    FileError(mode == fmCreate ? "Не удалось создать файл"_ansi : "Не удалось открыть файл"_ansi, fileName);
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::read(FHandle, static_cast<char*>(buffer) + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::write(FHandle, static_cast<const char*>(buffer) + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET : origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(FHandle, offset, whence);
  if (r < 0) FileError("Ошибка позиционирования в файле"_ansi, FFileName);
  return r;
}

void TFileStream::SetSize(int64_t size) {
  if (::ftruncate(FHandle, size) != 0) FileError("Не удалось изменить размер файла"_ansi, FFileName);
}
