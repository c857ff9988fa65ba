// VTK data arrays whose storage comes from the host's memory for large
// arrays (huge pages): the copies of a radar volume handed to VTK are as
// large as the volume.
#pragma once

#include <vtkDataArray.h>
#include <vtkSmartPointer.h>

#include <algorithm>
#include <cstdlib>

#include "large_memory.h"

namespace velmora {

// An array of tuples x components values, left uninitialised for the caller
// to fill; VTK gives it back with vhost::free_large. Its memory is taken for
// `room` tuples (at least `tuples`): pages never filled cost nothing, and
// the block can go on to hold a larger array once VTK gives it back.
template <class Array>
vtkSmartPointer<Array> large_array(vtkIdType tuples, int components = 1, vtkIdType room = 0) {
    using Value = typename Array::ValueType;
    auto a = vtkSmartPointer<Array>::New();
    a->SetNumberOfComponents(components);
    const vtkIdType n = tuples * components;
    const vtkIdType held = std::max(tuples, room) * components;
    auto* p = static_cast<Value*>(vhost::allocate_large(static_cast<std::size_t>(held) * sizeof(Value)));
    a->SetArray(p, n, 0, Array::VTK_DATA_ARRAY_USER_DEFINED);
    a->SetArrayFreeFunction(vhost::free_large);
    return a;
}

}  // namespace velmora
