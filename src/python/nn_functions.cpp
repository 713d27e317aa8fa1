// CPU attention and the fused linear+GELU / RMSNorm operations.
#include <cmath>

#include "arrays.hpp"
#include "binding.hpp"
#include "cpu/cpu_ops.hpp"
#include "functions.hpp"
#include "guard.hpp"
#include "interrupt.hpp"

namespace vant::py {
namespace {

PyObject* attention_entry(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const Signature sig{display, {"q", "k", "v", "scale"}, 4, 3};
        Args bound;
        Tensor3Arg q, k, v;
        if (!bind(sig, args, nargs, kwnames, bound) || !extract_arrays(sig, bound, q, k, v)) return nullptr;
        float scale = 0.0f;
        const bool has_scale = bound.given_not_none(3);
        if (has_scale) {
            if (!to_f32(bound[3], "scale", scale)) return nullptr;
            // The conversion may have run Python code (__float__, __index__) that reshaped,
            // retyped or freed an array argument: the views are taken again before any read.
            if (!extract_arrays(sig, bound, q, k, v)) return nullptr;
        }
        const uint64_t B = q.view.d0, S = q.view.d1, D = q.view.d2;
        if (!has_scale) scale = 1.0f / std::sqrt(static_cast<float>(D));
        HostBuffer out;
        if (!output_for(B, S, D, false, out)) return nullptr;  // written in full
        // With no batches, positions or features nothing is read from k or v.
        if (B != 0 && S != 0 && D != 0) {
            SignalCheck check(q, k, v);
            const double work = 2.0 * B * S * S * D;
            if (!check.run(work, [&](const cpu::StopCheck* stop) {
                    return cpu::attention(q.view, k.view, v.view, scale, out.data(), stop);
                }))
                return nullptr;
        }
        return tensor3_result(std::move(out), B, S, D);
    });
}

}  // namespace

VANT_FASTCALL(fn_attention) { return attention_entry("attention()", args, nargs, kwnames); }
VANT_FASTCALL(fn_fused_attention) { return attention_entry("fused_attention()", args, nargs, kwnames); }

VANT_FASTCALL(fn_fused_linear_gelu) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"fused_linear_gelu()", {"x", "weight", "bias"}, 3, 2};
        Args bound;
        MatrixArg x, w, bias;
        if (!bind(sig, args, nargs, kwnames, bound) || !extract_arrays(sig, bound, x, w)) return nullptr;
        const bool has_bias = bound.given_not_none(2);
        if (has_bias && !extract_matrix(bound[2], "bias", bias)) return nullptr;
        const uint64_t N = x.view.rows, O = w.view.rows;
        HostBuffer out;
        // Without products (K = 0) the bias and GELU are applied to zeros.
        if (!output_for(N, O, 1, x.view.cols == 0, out)) return nullptr;
        if (N != 0 && O != 0) {
            SignalCheck check = has_bias ? SignalCheck(x, w, bias) : SignalCheck(x, w);
            const double work = static_cast<double>(N) * O * (x.view.cols + 1);
            if (!check.run(work, [&](const cpu::StopCheck* stop) {
                    return cpu::linear_gelu(x.view, w.view, has_bias ? &bias.view : nullptr, out.data(), stop);
                }))
                return nullptr;
        }
        return matrix_result(std::move(out), N, O);
    });
}

VANT_FASTCALL(fn_fused_rmsnorm) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"fused_rmsnorm()", {"x", "weight", "eps"}, 3, 2};
        Args bound;
        MatrixArg x, w;
        if (!bind(sig, args, nargs, kwnames, bound) || !extract_arrays(sig, bound, x, w)) return nullptr;
        float eps = 1e-6f;
        if (bound.given_not_none(2)) {
            if (!to_f32(bound[2], "eps", eps)) return nullptr;
            // Python code run by the conversion may have changed x or weight: views taken again.
            if (!extract_arrays(sig, bound, x, w)) return nullptr;
        }
        const uint64_t R = x.view.rows, C = x.view.cols;
        HostBuffer out;
        if (!output_for(R, C, 1, false, out)) return nullptr;  // written in full
        if (R != 0 && C != 0) {
            SignalCheck check(x, w);
            const double work = static_cast<double>(R) * C;
            if (!check.run(work, [&](const cpu::StopCheck* stop) { return cpu::rmsnorm(x.view, w.view, eps, out.data(), stop); }))
                return nullptr;
        }
        return matrix_result(std::move(out), R, C);
    });
}

}  // namespace vant::py
