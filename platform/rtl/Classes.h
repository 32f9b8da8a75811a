// The class library's basic classes: the root object, the pointer list, the string list and the
// streams. Only what the system uses is here, with the class library's semantics where the
// system relies on them (exact stream reads and writes, list index errors).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/rtl/SysUtils.h"

// Root of the system's classes: a virtual destructor and the class's name.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
  // The dynamic class's name without namespaces ("TConnParams").
  std::string ClassName() const;
};

// Frees an object; null is ignored.
inline void FreeAndNil(TObject*& obj) {
  delete obj;
  obj = nullptr;
}

// List of object references; it owns nothing. Index errors raise EListError.
class TList : public TObject {
 public:
  ~TList() override = default;
  int Count() const { return static_cast<int>(FItems.size()); }
  TObject* Items(int index) const;
  void SetItems(int index, TObject* item);
  int Add(TObject* item);
  void Insert(int index, TObject* item);
  void Delete(int index);
  void Move(int from, int to);
  void Exchange(int a, int b);
  int IndexOf(const TObject* item) const;
  // Removes the first entry equal to item; returns its former position or -1.
  int Remove(const TObject* item);
  TObject* First() const { return Items(0); }
  TObject* Last() const { return Items(Count() - 1); }
  virtual void Clear();

 protected:
  [[noreturn]] static void Error(int index);

 private:
  std::vector<TObject*> FItems;
};

// List of strings, each with an optional object reference; owns neither. Lookups by text and
// by name are case-insensitive in the user's locale. Lines of the form name=value serve as a
// name-value list.
class TStrings : public TObject {
 public:
  ~TStrings() override = default;
  int Count() const { return static_cast<int>(FLines.size()); }
  const std::string& Strings(int index) const;
  void SetStrings(int index, const std::string& s);
  TObject* Objects(int index) const;
  void SetObjects(int index, TObject* obj);
  int Add(const std::string& s) { return AddObject(s, nullptr); }
  int AddObject(const std::string& s, TObject* obj);
  void Insert(int index, const std::string& s, TObject* obj = nullptr);
  void Delete(int index);
  void Move(int from, int to);
  void Exchange(int a, int b);
  void Clear() {
    FLines.clear();
    ++FChanges;
  }
  int IndexOf(const std::string& s) const;
  int IndexOfObject(const TObject* obj) const;
  // name=value lines: the part before the first "=", the part after it.
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  void SetValueFromIndex(int index, const std::string& value);
  int IndexOfName(const std::string& name) const;
  std::string Values(const std::string& name) const;
  // Sets the value of a name; an empty value deletes the line.
  void SetValues(const std::string& name, const std::string& value);
  // Lines joined with CR LF after each; SetText splits at CR LF, LF or CR.
  std::string Text() const;
  void SetText(const std::string& text);
  // Grows with every change of the lines (not of their objects): while it stays the same, so does
  // Text, so a holder of a derived value can tell without building the text again.
  uint64_t ChangeCount() const { return FChanges; }

 private:
  struct Line {
    std::string text;
    TObject* object = nullptr;
  };
  void Check(int index) const;
  std::vector<Line> FLines;
  uint64_t FChanges = 0;
};

class TStringList : public TStrings {};

// --- streams -----------------------------------------------------------------------------

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A stream of bytes. Read and Write move as many bytes as they can; ReadBuffer and WriteBuffer
// move exactly the count asked for or raise EReadError / EWriteError.
class TStream : public TObject {
 public:
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
  virtual int64_t Size();
  virtual void SetSize(int64_t size) = 0;
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes (all from the start when count is 0) from source; returns the count.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream in memory; the bytes are a std::string, so a blob value moves in and out whole.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : FData(std::move(data)) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t size) override;
  const std::string& DataString() const { return FData; }
  std::string& Data() { return FData; }

 private:
  std::string FData;
  int64_t FPos = 0;
};

using TStringStream = TMemoryStream;

// A file opened for reading, for reading and writing, or created anew. File names are UTF-8
// (the file system's own encoding). Failures raise EFileError naming the file and the reason.
class TFileStream : public TStream {
 public:
  enum Mode { fmOpenRead, fmOpenReadWrite, fmCreate };
  TFileStream(const std::string& fileName, Mode mode);
  ~TFileStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
  int FHandle = -1;
};
