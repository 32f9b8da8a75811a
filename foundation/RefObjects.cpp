#include "foundation/RefObjects.h"

void ReleaseRefObject(TObject*& obj) {
  if (auto* counted = dynamic_cast<TInterfacedObject*>(obj)) {
    CheckRefObject(counted->RefCount(), counted);
    counted->_Release();
  } else {
    delete obj;
  }
  obj = nullptr;
}

void CheckRefObject(int32_t refCount, const TObject* obj) {
  if (refCount < 1)
    throw EAssertionFailed(Format("Объект не инициализирован, имя класса \"%S\""_ansi, {ObjectClassName(obj)}) +
                           " (RefObjects, line 87)");
}

std::string ObjectClassName(const TObject* obj) {
  if (!obj) return "НЕ известно"_ansi;
  return obj->ClassName();
}
