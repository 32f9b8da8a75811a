// Ending the life of an object held in a variable, reference-counted or not.
#pragma once

#include <cstdint>
#include <string>

#include "platform/rtl/Interfaces.h"

// Releases the object in obj and sets obj to null. A reference-counted object (TInterfacedObject)
// loses one reference after CheckRefObject has checked that it still had one; any other object is
// freed; null is ignored. When the check fails the variable keeps its value.
void ReleaseRefObject(TObject*& obj);
template <class T>
void ReleaseRefObject(T*& obj) {
  TObject* o = obj;
  ReleaseRefObject(o);
  obj = static_cast<T*>(o);
}

// Raises EAssertionFailed naming the object's class when refCount is below 1.
void CheckRefObject(int32_t refCount, const TObject* obj);

// The object's class name, or "НЕ известно" when it cannot be read (a null reference).
std::string ObjectClassName(const TObject* obj);
