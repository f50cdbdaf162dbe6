// [labels, count] = quorvane_segment(image[, options]) as a native Octave function
// (quorvane_segment.oct): the checks and messages of core/segment/segment_call.h, which the
// MEX module makes too, and the core's segmentation on the calling thread, as quorvane.oct
// computes its weights. The image's elements are read where they lie, in their own class.

#include <octave/oct-map.h>
#include <octave/oct.h>

#include <cstdint>
#include <new>

#include "octave_values.h"
#include "quorvane_segment_help.h"
#include "segment/segment_call.h"
#include "thread_workers.h"

namespace {

namespace seg = quorvane::segment;

[[noreturn]] void fail(const seg::CheckedSegmentCall& call) {
  error_with_id(call.identifier, "%s: %s", seg::kSegmentFunction, call.text.c_str());
}

seg::ValueFacts valueFacts(const octave_value& value) {
  seg::ValueFacts facts;
  const quorvane::ArrayFacts array = quorvane::native::factsOf(value);
  facts.elements = array.elements;
  facts.complex = array.complex;
  facts.sparse = array.sparse;
  facts.className = value.class_name();
  const dim_vector dims = value.dims();
  for (int d = 0; d < dims.ndims(); ++d)
    facts.dimensions.push_back(static_cast<std::uint64_t>(dims(d)));
  if (value.isnumeric() && !value.iscomplex() && value.numel() == 1)
    facts.value = value.double_value();
  return facts;
}

seg::SegmentCallFacts callFacts(const octave_value_list& args, int nargout) {
  seg::SegmentCallFacts call;
  call.inputs = args.length();
  call.outputs = nargout;
  if (call.inputs >= 1)
    call.image = valueFacts(args(0));
  if (call.inputs >= 2) {
    const octave_value& options = args(1);
    call.options = valueFacts(options);
    call.optionsAreStruct = options.isstruct();
    if (call.optionsAreStruct && options.numel() == 1) {
      const octave_scalar_map map = options.scalar_map_value();
      const string_vector names = map.fieldnames();
      for (octave_idx_type k = 0; k < names.numel(); ++k)
        call.fields.emplace_back(names(k), valueFacts(map.getfield(names(k))));
    }
  }
  return call;
}

// The segments of the image in its own class's elements.
seg::SegmentOutcome segmentImage(seg::CheckedSegmentCall& call, const octave_value& image,
                                 quorvane::ElementClass elements) {
  using quorvane::ElementClass;
  const auto run = [&](const auto& array) {
    return seg::segmentCall(call, elements, array.data(),
                            quorvane::threadWorkers(quorvane::usableCores()));
  };
  switch (elements) {
    case ElementClass::kDouble:
      return run(image.array_value());
    case ElementClass::kSingle:
      return run(image.float_array_value());
    case ElementClass::kInt8:
      return run(image.int8_array_value());
    case ElementClass::kUint8:
      return run(image.uint8_array_value());
    case ElementClass::kInt16:
      return run(image.int16_array_value());
    case ElementClass::kUint16:
      return run(image.uint16_array_value());
    case ElementClass::kInt32:
      return run(image.int32_array_value());
    case ElementClass::kUint32:
      return run(image.uint32_array_value());
    case ElementClass::kInt64:
      return run(image.int64_array_value());
    case ElementClass::kUint64:
      return run(image.uint64_array_value());
    case ElementClass::kLogical:
      return run(image.bool_array_value());
    case ElementClass::kOther:
      break;
  }
  return {};
}

}  // namespace

DEFUN_DLD(quorvane_segment, args, nargout, kQuorvaneSegmentHelp) {
  const seg::SegmentCallFacts facts = callFacts(args, nargout);
  seg::CheckedSegmentCall call = seg::checkSegmentCall(facts);
  if (call.fault != seg::SegmentCallFault::kNone)
    fail(call);
  NDArray labels;
  std::int32_t count = 0;
  try {
    // A range or a diagonal matrix becomes a full array here, in memory of its own.
    const seg::SegmentOutcome outcome = segmentImage(call, args(0), facts.image.elements);
    if (call.fault == seg::SegmentCallFault::kNone) {
      labels.resize(dim_vector(call.rows, call.columns));
      seg::writeColumnMajorLabels(call, outcome, labels.fortran_vec());
      count = outcome.count;
    }
  } catch (const std::bad_alloc&) {
    seg::refuseForMemory(call);
  }
  if (call.fault != seg::SegmentCallFault::kNone)
    fail(call);
  return ovl(labels, static_cast<double>(count));
}
