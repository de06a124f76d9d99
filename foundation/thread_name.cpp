#include "foundation/thread_name.h"

#include <pthread.h>

#include <string>

namespace velmo::ai {

void set_thread_name(std::string_view name) {
  constexpr size_t kMaxBytes = 15;  // the kernel's limit, without the terminating zero
  name = name.substr(0, name.find('\0'));
  if (name.size() > kMaxBytes) {
    size_t cut = kMaxBytes;
    // Back off over UTF-8 continuation bytes so the cut lands on a character boundary.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name = name.substr(0, cut);
  }
  const std::string text(name);
  pthread_setname_np(pthread_self(), text.c_str());
}

}  // namespace velmo::ai
