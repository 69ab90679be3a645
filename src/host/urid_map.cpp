#include "host/urid_map.h"

#include <cstring>
#include <new>
#include <utility>

namespace kelvo {

namespace {

constexpr size_t expected_uris = 256;

}  // namespace

urid_map::urid_map()
    : map_feature{this,
                  [](LV2_URID_Map_Handle h, const char* uri) noexcept {
                      return static_cast<urid_map*>(h)->map(uri);
                  }},
      unmap_feature{this, [](LV2_URID_Unmap_Handle h, LV2_URID id) noexcept {
                        return static_cast<urid_map*>(h)->unmap(id);
                    }} {
    uris_.reserve(expected_uris);
}

urid_map::~urid_map() { forget_after(0); }

void urid_map::forget_after(size_t count) noexcept {
    while (uris_.size() > count)
        uris_.pop_back();
}

LV2_URID urid_map::map(const char* uri) noexcept {
    if (!uri)
        return 0;
    for (size_t i = 0; i < uris_.size(); ++i) {
        if (std::strcmp(uris_[i].get(), uri) == 0)
            return static_cast<LV2_URID>(i + 1);
    }
    try {
        const size_t size = std::strlen(uri) + 1;
        std::unique_ptr<char[]> copy{new char[size]};
        std::memcpy(copy.get(), uri, size);
        uris_.push_back(std::move(copy));
    } catch (const std::bad_alloc&) {
        exhausted_ = true;
        return 0;
    }
    return static_cast<LV2_URID>(uris_.size());
}

LV2_URID urid_map::map_term(const char* uri) {
    const LV2_URID id = map(uri);
    if (id == 0)
        throw std::bad_alloc{};
    return id;
}

const char* urid_map::unmap(LV2_URID id) const noexcept {
    return id >= 1 && id <= uris_.size() ? uris_[id - 1].get() : nullptr;
}

}  // namespace kelvo
