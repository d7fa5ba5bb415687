// The EventReader type: construction from a path and a reader type, iteration, deallocation.
#pragma once

#include "python/type_object.hpp"

namespace pluvo {

// Created on first use and kept for the life of the process.
LazyTypeObject& event_reader_type();

}  // namespace pluvo
