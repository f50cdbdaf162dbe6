#pragma once

// The segmentation's compiled steps in quorvane._quorvane: the boundary strength and its
// crests (segment_binding.cpp), the regions' steps after the basins (regions_binding.cpp).

#include <pybind11/pybind11.h>

// The threads a `workers` argument asks for (-1: the processors the process may use), or a
// ValueError.
int threadsOf(int workers);

void defineSegmentFunctions(pybind11::module_& module);
void defineRegionSteps(pybind11::module_& module);
