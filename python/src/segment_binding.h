#pragma once

// The segmentation's compiled steps in quorvane._quorvane (segment_binding.cpp).

#include <pybind11/pybind11.h>

void defineSegmentFunctions(pybind11::module_& module);
