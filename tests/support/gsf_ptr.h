#pragma once
// Ownership of libgsf's objects: a unique pointer that drops its GObject reference.

#include <glib-object.h>

#include <memory>

namespace wbtest {

struct GObjectUnref {
    void operator()(void* object) const {
        if (object != nullptr)
            g_object_unref(object);
    }
};
template <typename T> using GPtr = std::unique_ptr<T, GObjectUnref>;

} // namespace wbtest
