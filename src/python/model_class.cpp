// VantBLASModel: the two weight matrices of a two-layer linear network kept in device memory;
// a forward pass uploads the input, runs two FP32 products and downloads the result.
#include <new>
#include <string>

#include "arrays.hpp"
#include "binding.hpp"
#include "engine/kernel_set.hpp"
#include "functions.hpp"
#include "gpu_section.hpp"
#include "guard.hpp"
#include "resident.hpp"

namespace vant::py {
namespace {

struct ModelObject {
    PyObject_HEAD
    // Constructed in place in tp_new (or by the first set_weights of an object allocated without
    // tp_new, whose memory is all zeros); destroyed in dealloc only if `alive` is set. Invariant:
    // the three sizes describe the buffers held, and are all 0 when no weights are held.
    rt::DeviceBuffer w1;
    rt::DeviceBuffer w2;
    uint32_t in_dim;
    uint32_t hidden_dim;
    uint32_t out_dim;
    bool alive;
};

ModelObject* as_model(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }

// Constructs the buffers of a model that holds none yet (no-op once alive).
void make_alive(ModelObject* m) noexcept {
    if (m->alive) return;
    new (&m->w1) rt::DeviceBuffer();
    new (&m->w2) rt::DeviceBuffer();
    m->in_dim = m->hidden_dim = m->out_dim = 0;
    m->alive = true;
}

bool holds_weights(const ModelObject* m) noexcept { return m->alive && !m->w1.empty() && !m->w2.empty(); }

void clear_weights(ModelObject* m) noexcept {
    m->w1.reset();
    m->w2.reset();
    m->in_dim = m->hidden_dim = m->out_dim = 0;
}

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        const Signature sig{"VantBLASModel.__new__()", {}, 0, 0};
        Args bound;
        if (!bind(sig, args, kwargs, bound)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        make_alive(as_model(self));
        return self;
    });
}

void model_dealloc(PyObject* self) noexcept {
    ModelObject* m = as_model(self);
    if (m->alive) {
        GpuSection gpu;
        m->w1.~DeviceBuffer();
        m->w2.~DeviceBuffer();
    }
    free_instance(self);
}

VANT_FASTCALL(model_set_weights) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"VantBLASModel.set_weights()", {"w1", "w2"}, 2, 2};
        Args bound;
        MatrixArg w1, w2;
        if (!bind(sig, args, nargs, kwnames, bound) || !extract_arrays(sig, bound, w1, w2)) return nullptr;
        const MatView &v1 = w1.view, &v2 = w2.view;
        if (static_cast<uint32_t>(v1.cols) != static_cast<uint32_t>(v2.rows)) {
            return raise_runtime("Shape mismatch: W2[" + std::to_string(v2.rows) + "," + std::to_string(v2.cols) +
                                 "] should be [" + std::to_string(static_cast<uint32_t>(v1.cols)) + "," +
                                 std::to_string(static_cast<uint32_t>(v2.cols)) + "]");
        }
        // Refused before the old weights are touched.
        const uint64_t n1 = element_count(v1.rows, v1.cols), n2 = element_count(v2.rows, v2.cols);
        if (!within_device_limit("W1", n1)) return nullptr;
        if (!within_device_limit("W2", n2)) return nullptr;
        if (v1.cols != v2.rows) return raise_runtime("Shape mismatch: W1 has " + std::to_string(v1.cols) +
                                                     " columns but W2 has " + std::to_string(v2.rows) + " rows");

        GpuSection gpu;
        auto core = rt::current_core(0);
        if (!core) return raise_runtime(core.error());
        ModelObject* m = as_model(self);
        make_alive(m);
        // Old weights are always released before the new ones are allocated; until both new
        // buffers are in place the model holds none.
        clear_weights(m);
        std::optional<HostBuffer> h1 = gather_host_matrix(v1);
        if (!h1) return PyErr_NoMemory();
        Result<rt::DeviceBuffer> d1 = allocate_and_copy(h1->data(), n1, "Failed to allocate W1: ", "Failed to copy W1: ");
        if (!d1) return raise_runtime(d1.error());
        h1.reset();
        std::optional<HostBuffer> h2 = gather_host_matrix(v2);
        if (!h2) return PyErr_NoMemory();
        Result<rt::DeviceBuffer> d2 = allocate_and_copy(h2->data(), n2, "Failed to allocate W2: ", "Failed to copy W2: ");
        if (!d2) return raise_runtime(d2.error());
        m->w1 = std::move(d1).value();
        m->w2 = std::move(d2).value();
        m->in_dim = static_cast<uint32_t>(v1.rows);
        m->hidden_dim = static_cast<uint32_t>(v1.cols);
        m->out_dim = static_cast<uint32_t>(v2.cols);
        Py_RETURN_NONE;
    });
}

PyObject* forward_entry(const char* display, const char* name, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const Signature sig{display, {name}, 1, 1};
        Args bound;
        MatrixArg x;
        if (!bind(sig, args, nargs, kwnames, bound) || !extract_arrays(sig, bound, x)) return nullptr;
        const ModelObject* m = as_model(self);
        if (!holds_weights(m)) return raise_runtime("Weights not set! Call set_weights() first.");
        if (!m->w1.valid() || !m->w2.valid())
            return raise_runtime(
                "The model's weights are gone: another library reset the CUDA device after set_weights(); "
                "call set_weights() again");
        const uint64_t rows = x.view.rows, cols = x.view.cols;
        if (static_cast<uint32_t>(cols) != m->in_dim) {
            return raise_runtime("Shape mismatch: A[" + std::to_string(static_cast<uint32_t>(rows)) + "," +
                                 std::to_string(static_cast<uint32_t>(cols)) + "] x W1[?," +
                                 std::to_string(m->in_dim) + "]");
        }
        if (rows > UINT32_MAX || cols != m->in_dim)
            return raise_runtime("The input has " + std::to_string(rows) + " x " + std::to_string(cols) +
                                 " elements; sizes of 2^32 or more cannot be handed to the device");
        const uint64_t nx = element_count(rows, cols), nh = element_count(rows, m->hidden_dim), nc = element_count(rows, m->out_dim);
        if (!within_device_limit("The input", nx)) return nullptr;
        if (!within_device_limit("The hidden activations", nh)) return nullptr;
        if (!within_device_limit("The output", nc)) return nullptr;

        GpuSection gpu;
        // The first use loads and compiles the kernels: without the interpreter lock.
        engine::CudaResult<const engine::KernelSet*> set = gpu.unlocked([] { return engine::KernelSet::get(); });
        if (!set) return raise_runtime("Failed to get VantBLAS: " + set.error().display());
        auto core = rt::current_core(0);
        if (!core) return raise_runtime(core.error());
        std::optional<HostBuffer> host = gather_host_matrix(x.view);
        if (!host) return PyErr_NoMemory();
        Result<rt::DeviceBuffer> dx = rt::upload(host->data(), nx);
        if (!dx) return raise_runtime(dx.error());
        host.reset();
        Result<rt::DeviceBuffer> h = rt::allocate(nh);
        if (!h) return raise_runtime("Failed to allocate H: " + h.error());
        Result<rt::DeviceBuffer> c = rt::allocate(nc);
        if (!c) return raise_runtime("Failed to allocate C: " + c.error());
        const uint32_t r = static_cast<uint32_t>(rows);
        drv::CUstream stream = (*core)->stream;
        if (auto run = set.value()->gemm_f32(dx->ptr(), m->w1.ptr(), h->ptr(), r, m->hidden_dim, m->in_dim, stream); !run)
            return raise_runtime("First GEMM failed: " + run.error().display());
        if (auto run = set.value()->gemm_f32(h->ptr(), m->w2.ptr(), c->ptr(), r, m->out_dim, m->hidden_dim, stream); !run)
            return raise_runtime("Second GEMM failed: " + run.error().display());
        dx->reset();
        h->reset();
        Result<HostBuffer> out = gpu.unlocked([&] { return rt::download(c.value(), rows, m->out_dim, 0); });
        if (!out) return raise_runtime(out.error());
        return matrix_result(std::move(out).value(), rows, m->out_dim);
    });
}

VANT_FASTCALL(model_forward) {
    return forward_entry("VantBLASModel.forward()", "x", self, args, nargs, kwnames);
}
VANT_FASTCALL(model_forward_batch) {
    return forward_entry("VantBLASModel.forward_batch()", "x_batch", self, args, nargs, kwnames);
}

PyMethodDef kMethods[] = {
    VANT_FASTCALL_ENTRY("set_weights", model_set_weights,
                        "set_weights($self, w1, w2)\n--\n\nSet weights (allocates on GPU, stays there!)\n"
                        "\u2705 OPTIMIZED: Also creates FP16 versions if dimensions allow for Tensor Cores"),
    VANT_FASTCALL_ENTRY("forward", model_forward, "forward($self, x)\n--\n\nForward pass (weights already on GPU!)"),
    VANT_FASTCALL_ENTRY("forward_batch", model_forward_batch,
                        "forward_batch($self, x_batch)\n--\n\n"
                        "\u2705 OPTIMIZED: Forward pass for batched input (single concatenated array)\n"
                        "Processes multiple inputs concatenated together to amortize conversion overhead\n"
                        "Input should be [batch_size * seq_len, embedding_dim] - already concatenated"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("VantBLASModel()\n--\n\n"
                                  "\u2705 ULTRA-OPTIMIZED: Model class that keeps weights on GPU\n"
                                  "This eliminates NumPy \u2194 CUDA conversion overhead for weights!")},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.VantBLASModel", sizeof(ModelObject), 0, kClassFlags, kSlots};

}  // namespace

PyObject* model_type() noexcept {
    static PyObject* type = nullptr;
    return bare_type(type, kSpec);
}

}  // namespace vant::py
