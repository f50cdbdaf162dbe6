"""What quorvane.weights accepts, converts and rejects."""

import numpy as np
import pytest

import quorvane
from quorvane import _quorvane
from conftest import assert_same_matrix

RNG = np.random.default_rng(5)
MAGNITUDE = RNG.random((4, 5)) * 2
PHASE = RNG.integers(0, 3, size=(4, 5)).astype(np.float64)
INDICES, INDPTR = quorvane.disc_pattern((4, 5), 2)
REFERENCE = quorvane.weights(MAGNITUDE, PHASE, INDICES, INDPTR, 0.8)


def call(magnitude=MAGNITUDE, phase=PHASE, indices=INDICES, indptr=INDPTR, sigma=0.8):
    return quorvane.weights(magnitude, phase, indices, indptr, sigma)


class TestImageConversion:
    @pytest.mark.parametrize(
        "convert",
        [
            lambda a: np.asfortranarray(a),
            lambda a: a.astype(">f8"),
            lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
            lambda a: a.tolist(),
        ],
        ids=["fortran", "big_endian", "strided", "list"],
    )
    def test_other_layouts_give_the_same_result(self, convert):
        assert_same_matrix(call(convert(MAGNITUDE), convert(PHASE)), REFERENCE)

    @pytest.mark.parametrize(
        "dtype", [np.float32, np.float16, np.int16, np.uint8, np.int64, np.bool_]
    )
    def test_real_dtypes_are_converted_to_float64(self, dtype):
        magnitude = (MAGNITUDE * 10).astype(dtype)
        phase = (PHASE > 0).astype(dtype)
        expected = call(magnitude.astype(np.float64), phase.astype(np.float64))
        assert_same_matrix(call(magnitude, phase), expected)

    def test_c_contiguous_float64_images_reach_the_core_uncopied(self, monkeypatch):
        seen = []
        compiled = _quorvane.weights

        def spy(magnitude, phase, *rest):
            seen.extend([magnitude, phase])
            return compiled(magnitude, phase, *rest)

        monkeypatch.setattr(_quorvane, "weights", spy)
        call()
        assert seen[0] is MAGNITUDE and seen[1] is PHASE
        call(np.asfortranarray(MAGNITUDE), PHASE.astype(np.float32))
        assert seen[2].flags.c_contiguous and seen[2].dtype == np.float64
        assert seen[3].flags.c_contiguous and seen[3].dtype == np.float64

    @pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
    @pytest.mark.parametrize("which", ["magnitude", "phase"])
    def test_complex_images_are_a_type_error(self, dtype, which):
        bad = {which: MAGNITUDE.astype(dtype)}
        with pytest.raises(TypeError, match=f"{which} shall be real"):
            call(**bad)

    @pytest.mark.parametrize("bad", [np.full((4, 5), "a"), np.full((4, 5), None, dtype=object)])
    def test_non_numeric_images_are_a_type_error(self, bad):
        with pytest.raises(TypeError, match="real numeric"):
            call(magnitude=bad)


class TestImageShapes:
    @pytest.mark.parametrize("bad", [MAGNITUDE.ravel(), MAGNITUDE[None], np.float64(1.0)])
    def test_not_2d(self, bad):
        with pytest.raises(ValueError, match="2-D"):
            call(phase=bad)

    def test_transposed_phase_with_equal_pixel_count(self):
        with pytest.raises(ValueError, match=r"same shape, got \(4, 5\) and \(5, 4\)"):
            call(phase=PHASE.T)

    @pytest.mark.parametrize("shape", [(0, 0), (0, 3), (3, 0)])
    def test_empty(self, shape):
        with pytest.raises(ValueError, match="not be empty"):
            call(np.zeros(shape), np.zeros(shape), [], [0])

    def test_too_many_pixels_is_refused_before_any_conversion(self):
        # 2^31 pixels as a zero-stride view: converting it first would allocate 16 GiB.
        huge = np.broadcast_to(np.float32(0), (2**16, 2**15))
        with pytest.raises(ValueError, match="fewer than 2\\^31 pixels"):
            call(huge, huge, [], np.zeros(1, dtype=np.uint32))


class TestPattern:
    @pytest.mark.parametrize("dtype", [np.int32, np.int64, np.uint16, np.uint64, ">i4"])
    def test_integer_dtypes(self, dtype):
        assert_same_matrix(
            call(indices=INDICES.astype(dtype), indptr=INDPTR.astype(dtype)), REFERENCE
        )

    @pytest.mark.parametrize("which", ["indices", "indptr"])
    @pytest.mark.parametrize("dtype", [np.float64, np.bool_, np.complex128])
    def test_non_integer_dtypes_are_a_type_error(self, which, dtype):
        bad = {which: (INDICES if which == "indices" else INDPTR).astype(dtype)}
        with pytest.raises(TypeError, match=f"{which} shall be an integer array"):
            call(**bad)

    @pytest.mark.parametrize("which", ["indices", "indptr"])
    def test_not_1d(self, which):
        bad = {which: (INDICES if which == "indices" else INDPTR)[None, :]}
        with pytest.raises(ValueError, match=f"{which} shall be a 1-D array"):
            call(**bad)

    @pytest.mark.parametrize("value", [-1, 2**32, 2**40])
    def test_values_beyond_uint32(self, value):
        indices = INDICES.astype(np.int64)
        indices[3] = value
        with pytest.raises(ValueError, match="fit an unsigned 32-bit integer"):
            call(indices=indices)
        indptr = INDPTR.astype(np.int64)
        indptr[-1] = value
        with pytest.raises(ValueError, match="fit an unsigned 32-bit integer"):
            call(indptr=indptr)

    def test_uint64_beyond_uint32(self):
        with pytest.raises(ValueError, match="fit an unsigned 32-bit integer"):
            call(indices=np.array([0, 2**63], dtype=np.uint64))

    @pytest.mark.parametrize("length", [20, 22, 0])
    def test_wrong_indptr_length(self, length):
        with pytest.raises(ValueError, match=f"indptr shall have 21 elements.*got {length}"):
            call(indptr=np.zeros(length, dtype=np.uint32))

    def test_decreasing_indptr(self):
        indptr = INDPTR.copy()
        indptr[7] = indptr[8] + 1
        with pytest.raises(ValueError, match="indptr shall not decrease"):
            call(indptr=indptr)

    def test_fewer_indices_than_the_last_start(self):
        with pytest.raises(ValueError, match="at least indptr\\[-1\\] entries"):
            call(indices=INDICES[:-1])

    @pytest.mark.parametrize("value", [20, 2**32 - 1])
    def test_index_beyond_the_pixels(self, value):
        indices = INDICES.copy()
        indices[-1] = value
        with pytest.raises(ValueError, match="below the pixel count"):
            call(indices=indices)

    def test_indices_outside_the_pattern_range_are_never_read(self):
        # Entries before indptr[0] and after indptr[-1] play no part, whatever they hold.
        indices = np.concatenate([[2**32 - 1, 77], INDICES, [12345]]).astype(np.uint32)
        result = call(indices=indices, indptr=INDPTR + 2)
        assert_same_matrix(result, REFERENCE)

    def test_list_inputs_and_an_empty_pattern(self):
        result = quorvane.weights([[1.0, 2.0]], [[0, 1]], [], [0, 0, 0])
        assert result.shape == (2, 2) and result.nnz == 0
        np.testing.assert_array_equal(result.indptr, [0, 0, 0])


class TestSigma:
    def test_none_is_a_sixth_of_the_largest_magnitude(self):
        default = call(sigma=None)
        explicit = call(sigma=max(0.0, MAGNITUDE.max()) / 6)
        assert_same_matrix(default, explicit)

    @pytest.mark.parametrize("sigma", [np.float32(0.8), np.array(0.8), 0.8])
    def test_real_scalars(self, sigma):
        assert_same_matrix(call(sigma=sigma), call(sigma=float(np.float64(sigma))))

    def test_integer_sigma(self):
        assert_same_matrix(call(sigma=2), call(sigma=2.0))

    @pytest.mark.parametrize("sigma", [1j, np.complex128(1)])
    def test_complex_sigma_is_a_type_error(self, sigma):
        with pytest.raises(TypeError, match="sigma shall be real"):
            call(sigma=sigma)

    @pytest.mark.parametrize("sigma", ["1", [1.0, 2.0], np.ones(1)])
    def test_non_scalar_sigma_is_a_type_error(self, sigma):
        with pytest.raises(TypeError, match="sigma shall be a real number or None"):
            call(sigma=sigma)


class TestWorkers:
    @pytest.mark.parametrize("workers", [np.int64(3), np.uint8(2), 2, 2**40, -1])
    def test_integers_and_minus_one(self, workers):
        assert_same_matrix(
            quorvane.weights(MAGNITUDE, PHASE, INDICES, INDPTR, 0.8, workers=workers), REFERENCE
        )

    @pytest.mark.parametrize(
        "workers", [0, -2, -(2**40), 2.0, 1.5, np.float64(2), True, np.bool_(True), "2", None]
    )
    def test_anything_else_is_a_value_error(self, workers):
        with pytest.raises(ValueError, match="workers shall be a positive integer or -1"):
            quorvane.weights(MAGNITUDE, PHASE, INDICES, INDPTR, workers=workers)

    def test_only_by_keyword(self):
        with pytest.raises(TypeError):
            quorvane.weights(MAGNITUDE, PHASE, INDICES, INDPTR, 0.8, 2)


class TestCompiledModuleGuards:
    """The compiled function re-checks what the core relies on, whoever calls it."""

    def args(self, **changes):
        args = dict(
            magnitude=MAGNITUDE,
            phase=PHASE,
            indices=INDICES,
            indptr=INDPTR,
            sigma=None,
            int32_limit=2**31 - 1,
        )
        args.update(changes)
        return args

    @pytest.mark.parametrize(
        "change",
        [
            dict(magnitude=MAGNITUDE.astype(np.float32)),
            dict(phase=np.asfortranarray(PHASE)),
            dict(indices=INDICES.astype(np.int32)),
            dict(indptr=INDPTR.astype(np.uint64)),
            dict(indptr=np.repeat(INDPTR, 2)[::2]),
        ],
        ids=["float32", "fortran", "int32_indices", "uint64_indptr", "strided_indptr"],
    )
    def test_wrong_dtype_or_layout(self, change):
        with pytest.raises(TypeError):
            _quorvane.weights(**self.args(**change))

    @pytest.mark.parametrize(
        "change, message",
        [
            (dict(phase=PHASE.T.copy()), "same shape"),
            (dict(magnitude=np.zeros((0, 5)), phase=np.zeros((0, 5))), "not be empty"),
            (dict(magnitude=MAGNITUDE.ravel(), phase=PHASE.ravel()), "2-D"),
            (dict(indptr=INDPTR[:-1]), "indptr shall have 21"),
            (dict(indptr=INDPTR[::-1].copy()), "not decrease"),
            (dict(indices=INDICES[:5]), "at least"),
            (dict(indices=INDICES + np.uint32(1)), "below the pixel count"),
            (dict(workers=0), "workers shall be a positive integer or -1"),
            (dict(workers=-2), "workers shall be a positive integer or -1"),
        ],
    )
    def test_shape_and_pattern(self, change, message):
        with pytest.raises(ValueError, match=message):
            _quorvane.weights(**self.args(**change))
