#include "MosquittoApi.h"

#include <dlfcn.h>

namespace mqtt {

namespace {
constexpr char kLibrary[] = "libmosquitto.so.1";

struct Loaded {
  MosquittoApi api;
  QString error;
};

Loaded load() {
  Loaded l;
  // Never closed: handles made by it may live until the process ends.
  void* lib = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = ::dlerror();
    l.error = QStringLiteral("cannot load %1: %2").arg(QLatin1String(kLibrary), QString::fromLocal8Bit(why ? why : "unknown"));
    return l;
  }
#define SC_MOSQUITTO_RESOLVE(member, function)                                                       \
  l.api.member = reinterpret_cast<decltype(l.api.member)>(::dlsym(lib, #function));                  \
  if (!l.api.member && l.error.isEmpty())                                                            \
    l.error = QStringLiteral("%1 has no %2").arg(QLatin1String(kLibrary), QLatin1String(#function));
  SC_MOSQUITTO_FUNCTIONS(SC_MOSQUITTO_RESOLVE)
#undef SC_MOSQUITTO_RESOLVE
  if (l.error.isEmpty()) l.api.libInit();
  return l;
}
}  // namespace

const MosquittoApi* Mosquitto(QString* error) {
  static const Loaded loaded = load();  // thread-safe, once per process
  if (!loaded.error.isEmpty()) {
    if (error) *error = loaded.error;
    return nullptr;
  }
  return &loaded.api;
}

}  // namespace mqtt
