// A C library's object owned by std::unique_ptr, released by the library's own free function.
#pragma once

#include <memory>

namespace tg {

template <auto Free> struct FreeWith {
    template <typename T> void operator()(T* p) const { Free(p); }
};

// Owned<heif_context, heif_context_free> closes the context however the scope is left.
template <typename T, auto Free> using Owned = std::unique_ptr<T, FreeWith<Free>>;

} // namespace tg
