#include "base/object.h"

namespace Base {
namespace {
std::atomic<int32_t> liveObjects{0};
}

Object::Object() : references(1) {
    liveObjects.fetch_add(1, std::memory_order_relaxed);
}

Object::~Object() = default;

void Object::AddRef() const {
    if (references.fetch_add(1, std::memory_order_relaxed) == 0) {
        liveObjects.fetch_add(1, std::memory_order_relaxed);
    }
}

void Object::Release() const {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        liveObjects.fetch_sub(1, std::memory_order_relaxed);
        delete this;
    }
}

int32_t Object::LiveObjectCount() {
    return liveObjects.load(std::memory_order_relaxed);
}

}  // namespace Base
