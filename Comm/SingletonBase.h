// One object per class, built on first use and destroyed at normal exit.
#pragma once

#include <cxxabi.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <typeinfo>

template <class T>
class SingletonBase {
 public:
  static T& Instance() {
    static T instance;
    static std::once_flag named;
    // Once, and safely against a second thread calling at the same time.
    std::call_once(named, [] {
      SingletonBase<T>& base = instance;
      if (base.szClassName.empty()) base.szClassName = ReadableName();
    });
    return instance;
  }

  const char* GetClassName() const { return szClassName.c_str(); }

  virtual ~SingletonBase() {}

 protected:
  SingletonBase() {}

  std::string szClassName;

 private:
  static std::string ReadableName() {
    const char* mangled = typeid(T).name();
    std::string name = mangled;
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    if (demangled) {
      name = demangled;
      std::free(demangled);
    }
    return name;
  }
};
