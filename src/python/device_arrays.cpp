// Device arrays across library boundaries: VantTensor products, imports of other libraries'
// arrays (DLPack first, the CUDA array interface otherwise) and exports of tensors (DLPack
// capsules, the CUDA array interface). Ordering between our stream and another library's is
// always by events queued on the device, never by a host wait, where the driver offers them.
#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "binding.hpp"
#include "dlpack.hpp"
#include "engine/kernel_set.hpp"
#include "functions.hpp"
#include "gpu_section.hpp"
#include "resident.hpp"
#include "runtime/interop.hpp"
#include "tensor_object.hpp"

namespace vant::py {
namespace {

constexpr const char* kLostText =
    "The tensor's device memory is gone: another library reset the CUDA device after the tensor was made";

// ---- keepers released after the stream ---------------------------------------------------------

struct PendingRelease {
    drv::CUevent mark;
    PyObject* keeper;
    uint64_t generation;
};
std::vector<PendingRelease>* g_pending = new std::vector<PendingRelease>;  // under the interpreter lock

// ---- imports ------------------------------------------------------------------------------------

// What an import found out about the producer's array before deciding how to take it.
struct ForeignArray {
    drv::CUdeviceptr ptr = 0;  // element (0, 0)
    uint64_t rows = 0, cols = 0;
    int64_t row_stride = 0, col_stride = 0;  // in elements
    PyRef keeper;                            // keeps the memory alive
};

PyObject* raise_value(const std::string& text) { return raise_text(PyExc_ValueError, text); }

// Capsule destructors of our own keepers of imported DLPack tensors: the producer's deleter runs
// when the keeper goes.
void delete_legacy_import(PyObject* capsule) {
    auto* m = static_cast<dlpack::ManagedTensor*>(PyCapsule_GetPointer(capsule, "vantblas.dlpack_import"));
    if (m && m->deleter) m->deleter(m);
}
void delete_versioned_import(PyObject* capsule) {
    auto* m = static_cast<dlpack::ManagedTensorVersioned*>(
        PyCapsule_GetPointer(capsule, "vantblas.dlpack_import_versioned"));
    if (m && m->deleter) m->deleter(m);
}

// Reads a DLTensor into `out`; false with an exception set when it is not a float32 matrix on
// CUDA device 0.
bool read_dltensor(const dlpack::Tensor& t, const char* name, ForeignArray& out) {
    if (t.device.device_type != dlpack::kCUDA && t.device.device_type != dlpack::kCUDAManaged) {
        PyErr_Format(PyExc_TypeError, "argument '%s': DLPack device type %d is not a CUDA device", name,
                     static_cast<int>(t.device.device_type));
        return false;
    }
    if (t.device.device_id != 0) {
        raise_value(std::string("argument '") + name + "': the array is on CUDA device " +
                    std::to_string(t.device.device_id) + "; this module uses device 0");
        return false;
    }
    if (t.dtype.code != dlpack::kFloat || t.dtype.bits != 32 || t.dtype.lanes != 1 || t.ndim != 2) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected a two-dimensional float32 device array, got %d dimension(s) of "
                     "type code %d with %d bits",
                     name, static_cast<int>(t.ndim), static_cast<int>(t.dtype.code), static_cast<int>(t.dtype.bits));
        return false;
    }
    if (t.shape[0] < 0 || t.shape[1] < 0) {
        raise_value(std::string("argument '") + name + "': negative extent in the DLPack shape");
        return false;
    }
    out.rows = static_cast<uint64_t>(t.shape[0]);
    out.cols = static_cast<uint64_t>(t.shape[1]);
    out.row_stride = t.strides ? t.strides[0] : static_cast<int64_t>(out.cols);
    out.col_stride = t.strides ? t.strides[1] : 1;
    out.ptr = reinterpret_cast<uintptr_t>(t.data) + t.byte_offset;
    return true;
}

// Through __dlpack__: 1 done, 0 not offered (try the CUDA array interface), -1 error.
int take_dlpack(PyObject* obj, const char* name, drv::CUstream our_stream, ForeignArray& out) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(obj, "__dlpack__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    // The producer orders its pending work before our stream (the stream handle is the consumer's).
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:K,s:(ii)}", "stream",
                                              static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(our_stream)),
                                              "max_version", dlpack::kMajorVersion, dlpack::kMinorVersion));
    if (!kwargs) return -1;
    PyRef empty = PyRef::steal(PyTuple_New(0));
    if (!empty) return -1;
    PyRef capsule = PyRef::steal(PyObject_Call(method.get(), empty.get(), kwargs.get()));
    if (!capsule && PyErr_ExceptionMatches(PyExc_TypeError)) {
        // A producer of the first protocol version takes no max_version.
        PyErr_Clear();
        if (PyDict_DelItemString(kwargs.get(), "max_version") < 0) return -1;
        capsule = PyRef::steal(PyObject_Call(method.get(), empty.get(), kwargs.get()));
    }
    if (!capsule) return -1;
    if (PyCapsule_IsValid(capsule.get(), dlpack::kVersionedName)) {
        auto* m = static_cast<dlpack::ManagedTensorVersioned*>(PyCapsule_GetPointer(capsule.get(), dlpack::kVersionedName));
        if (m->version.major > dlpack::kMajorVersion) {
            // Not ours to take: the producer's deleter still runs with the capsule.
            raise_text(PyExc_BufferError, "DLPack major version " + std::to_string(m->version.major) +
                                              " is newer than this module understands");
            return -1;
        }
        // Ours from here: the capsule no longer calls the deleter, the keeper does.
        if (PyCapsule_SetName(capsule.get(), dlpack::kUsedVersionedName) < 0) return -1;
        PyRef keeper = PyRef::steal(PyCapsule_New(m, "vantblas.dlpack_import_versioned", delete_versioned_import));
        if (!keeper) {
            if (m->deleter) m->deleter(m);
            return -1;
        }
        out.keeper = std::move(keeper);
        return read_dltensor(m->dl_tensor, name, out) ? 1 : -1;
    }
    if (PyCapsule_IsValid(capsule.get(), dlpack::kLegacyName)) {
        auto* m = static_cast<dlpack::ManagedTensor*>(PyCapsule_GetPointer(capsule.get(), dlpack::kLegacyName));
        if (PyCapsule_SetName(capsule.get(), dlpack::kUsedLegacyName) < 0) return -1;
        PyRef keeper = PyRef::steal(PyCapsule_New(m, "vantblas.dlpack_import", delete_legacy_import));
        if (!keeper) {
            if (m->deleter) m->deleter(m);
            return -1;
        }
        out.keeper = std::move(keeper);
        return read_dltensor(m->dl_tensor, name, out) ? 1 : -1;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': __dlpack__ returned no DLPack capsule", name);
    return -1;
}

bool int_item(PyObject* seq, Py_ssize_t i, long long& out) {
    PyRef item = PyRef::steal(PySequence_GetItem(seq, i));
    if (!item) return false;
    out = PyLong_AsLongLong(item.get());
    return !(out == -1 && PyErr_Occurred());
}

// Through __cuda_array_interface__ (versions 2 and 3): true done, false error.
bool take_cuda_array_interface(PyObject* obj, const char* name, drv::CUstream our_stream, ForeignArray& out) {
    PyRef cai = PyRef::steal(PyObject_GetAttrString(obj, "__cuda_array_interface__"));
    if (!cai) return false;
    if (!PyDict_Check(cai.get())) {
        PyErr_Format(PyExc_TypeError, "argument '%s': __cuda_array_interface__ is not a dict", name);
        return false;
    }
    auto field = [&](const char* key) { return PyDict_GetItemString(cai.get(), key); };  // borrowed
    PyObject* version = field("version");
    const long v = version ? PyLong_AsLong(version) : -1;
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 2 || v > 3) {
        raise_value(std::string("argument '") + name + "': CUDA array interface version " + std::to_string(v) +
                    " is not supported (2 or 3)");
        return false;
    }
    PyObject* typestr = field("typestr");
    const char* ts = typestr && PyUnicode_Check(typestr) ? PyUnicode_AsUTF8(typestr) : nullptr;
    PyObject* shape = field("shape");
    if (!ts || (std::strcmp(ts, "<f4") != 0 && std::strcmp(ts, "=f4") != 0) || !shape || !PyTuple_Check(shape) ||
        PyTuple_GET_SIZE(shape) != 2) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a two-dimensional float32 device array", name);
        return false;
    }
    PyObject* mask = field("mask");
    if (mask && mask != Py_None) {
        raise_value(std::string("argument '") + name + "': masked device arrays are not supported");
        return false;
    }
    long long rows, cols, address;
    if (!int_item(shape, 0, rows) || !int_item(shape, 1, cols)) return false;
    PyObject* data = field("data");
    if (!data || !PyTuple_Check(data) || PyTuple_GET_SIZE(data) != 2 || !int_item(data, 0, address)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "argument '%s': __cuda_array_interface__ has no (pointer, read-only) data",
                         name);
        return false;
    }
    if (rows < 0 || cols < 0) {
        raise_value(std::string("argument '") + name + "': negative extent in the shape");
        return false;
    }
    out.rows = static_cast<uint64_t>(rows);
    out.cols = static_cast<uint64_t>(cols);
    out.ptr = static_cast<drv::CUdeviceptr>(address);
    out.row_stride = cols;
    out.col_stride = 1;
    PyObject* strides = field("strides");
    if (strides && strides != Py_None) {
        long long rs, cs;
        if (!PyTuple_Check(strides) || PyTuple_GET_SIZE(strides) != 2 || !int_item(strides, 0, rs) ||
            !int_item(strides, 1, cs)) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "argument '%s': malformed strides", name);
            return false;
        }
        if (rs % 4 != 0 || cs % 4 != 0) {
            raise_value(std::string("argument '") + name + "': strides that are not whole float32 elements");
            return false;
        }
        out.row_stride = rs / 4;
        out.col_stride = cs / 4;
    }
    // Version 3: the producer's stream, whose pending work our stream waits for.
    PyObject* stream = field("stream");
    if (v >= 3 && stream && stream != Py_None) {
        const unsigned long long handle = PyLong_AsUnsignedLongLong(stream);
        if (handle == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        if (handle == 0) {
            raise_value(std::string("argument '") + name + "': stream 0 is not allowed in a CUDA array interface");
            return false;
        }
        if (auto ordered = rt::order_streams(reinterpret_cast<drv::CUstream>(static_cast<uintptr_t>(handle)), our_stream);
            !ordered) {
            raise_runtime(ordered.error());
            return false;
        }
    }
    out.keeper = PyRef::borrow(obj);
    return true;
}

PyObject* make_borrowed_tensor(ForeignArray&& a) {
    PyRef type_ref = PyRef::steal(tensor_type());
    if (!type_ref) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(type_ref.get());
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;  // the keeper goes with `a`
    TensorObject* t = as_tensor(self);
    new (&t->data) rt::DeviceBuffer();
    t->borrowed = a.ptr;
    t->keeper = a.keeper.release();
    t->generation = rt::core_generation();
    t->rows = a.rows;
    t->cols = a.cols;
    t->device_id = 0;
    t->alive = true;
    return self;
}

}  // namespace

bool tensor_memory_alive(const TensorObject* t) noexcept {
    if (rt::generation_alive(t->generation)) return true;
    raise_runtime(kLostText);
    return false;
}

PyObject* tensor_product(const TensorObject* a, const TensorObject* b,
                         std::string (*shape_error)(uint64_t, uint64_t, uint64_t, uint64_t)) noexcept {
    if (!holds_data(a) || !holds_data(b)) return raise_runtime("Tensors not initialized");
    const uint64_t m = a->rows, k = a->cols, k2 = b->rows, n = b->cols;
    if (k != k2) return raise_runtime(shape_error(m, k, k2, n));
    const uint64_t count = element_count(m, n);
    if (!within_device_limit("The product", count)) return nullptr;

    GpuSection gpu;
    // The first use loads and compiles the kernels: without the interpreter lock.
    engine::CudaResult<const engine::KernelSet*> set = gpu.unlocked([] { return engine::KernelSet::get(); });
    if (!set) return raise_runtime("Failed to get VantBLAS: " + set.error().display());
    // The calling thread may not be the one that built the core or the operands.
    auto core = rt::current_core(a->device_id);
    if (!core) return raise_runtime(core.error());
    if (!tensor_memory_alive(a) || !tensor_memory_alive(b)) return nullptr;
    collect_released();
    Result<rt::DeviceBuffer> c = rt::allocate(count);
    if (!c) return raise_runtime("Failed to allocate output: " + c.error());
    engine::CudaResult<void> run =
        set.value()->gemm_f32(tensor_ptr(a), tensor_ptr(b), c->ptr(), static_cast<uint32_t>(m),
                              static_cast<uint32_t>(n), static_cast<uint32_t>(k), (*core)->stream);
    if (!run) return raise_runtime("GEMM failed: " + run.error().display());
    // No synchronisation: every later read (cpu(), an export) is ordered after the stream.
    return make_tensor(Py_TYPE(reinterpret_cast<PyObject*>(const_cast<TensorObject*>(a))), std::move(c).value(), m,
                       n, a->device_id);
}

int device_array_kind(PyObject* obj) noexcept {
    if (is_tensor(obj)) return 1;
    if (const int array = is_ndarray(obj); array != 0) return array < 0 ? -1 : 0;
    PyRef device = PyRef::steal(PyObject_CallMethod(obj, "__dlpack_device__", nullptr));
    if (device) {
        long long type = 0;
        if (!PyTuple_Check(device.get()) || PyTuple_GET_SIZE(device.get()) != 2 || !int_item(device.get(), 0, type)) {
            PyErr_Clear();
            return 0;
        }
        return type == dlpack::kCUDA || type == dlpack::kCUDAManaged ? 1 : 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    const int has = PyObject_HasAttrString(obj, "__cuda_array_interface__");
    return has ? 1 : 0;
}

PyObject* import_device_array(PyObject* obj, const char* name) noexcept {
    if (is_tensor(obj)) return Py_NewRef(obj);
    GpuSection gpu;
    auto core = rt::current_core(0);
    if (!core) return raise_runtime(core.error());
    collect_released();
    const drv::CUstream stream = (*core)->stream;
    ForeignArray a;
    const int dl = take_dlpack(obj, name, stream, a);
    if (dl < 0) return nullptr;
    if (dl == 0 && !take_cuda_array_interface(obj, name, stream, a)) return nullptr;
    const uint64_t count = element_count(a.rows, a.cols);
    if (!within_device_limit("VantTensor", count)) return nullptr;

    if (count > 0) {
        switch (rt::pointer_owner(a.ptr, **core)) {
            case rt::PointerOwner::Ours:
            case rt::PointerOwner::Unknown:
                break;
            case rt::PointerOwner::OtherContext:
                return raise_value(std::string("argument '") + name +
                                   "': the device array belongs to another CUDA context than the device's primary "
                                   "context, which this module uses");
            case rt::PointerOwner::OtherDevice:
                return raise_value(std::string("argument '") + name +
                                   "': the device array is on another device; this module uses device 0");
            case rt::PointerOwner::NotDevice:
                return raise_value(std::string("argument '") + name + "': the address is not device memory");
        }
    }
    // The kernels read rows of whole, 16-byte aligned float4 groups: anything else is packed.
    const bool packed = a.col_stride == 1 && a.row_stride == static_cast<int64_t>(a.cols) && a.ptr % 16 == 0;
    if (packed || count == 0) return make_borrowed_tensor(std::move(a));

    engine::CudaResult<const engine::KernelSet*> set = engine::KernelSet::get();
    if (!set) return raise_runtime("Failed to get VantBLAS: " + set.error().display());
    Result<rt::DeviceBuffer> copy = rt::allocate(count);
    if (!copy) return raise_runtime("Failed to allocate CUDA memory: " + copy.error());
    if (a.col_stride == 1 && a.row_stride == static_cast<int64_t>(a.cols)) {
        if (auto done = rt::copy_device(copy->ptr(), a.ptr, count * 4, stream); !done)
            return raise_runtime(done.error());
    } else if (auto run = set.value()->gather_strided_f32(copy->ptr(), a.ptr, static_cast<uint32_t>(a.rows),
                                                           static_cast<uint32_t>(a.cols), a.row_stride, a.col_stride,
                                                           stream);
               !run) {
        return raise_runtime("Failed to copy device data: " + run.error().display());
    }
    // The copy reads the producer's memory on our stream: its keeper waits for that.
    release_after_stream(a.keeper.release());
    PyRef type = PyRef::steal(tensor_type());
    if (!type) return nullptr;
    return make_tensor(reinterpret_cast<PyTypeObject*>(type.get()), std::move(copy).value(), a.rows, a.cols, 0);
}

void release_after_stream(PyObject* keeper) noexcept {
    if (!keeper) return;
    rt::CudaCore* core = rt::built_cuda_core();
    if (!core) {
        Py_DECREF(keeper);
        return;
    }
    GpuSection gpu;
    rt::ContextScope scope(core->context);
    Result<drv::CUevent> mark = scope.status() == drv::CUDA_SUCCESS ? rt::mark_stream(core->stream)
                                                                    : Result<drv::CUevent>(drv::CUevent{nullptr});
    if (mark && mark.value()) {
        try {
            g_pending->push_back({mark.value(), keeper, core->generation});
            return;
        } catch (...) {
            rt::drop_mark(mark.value());
        }
    }
    // No event to wait on: the host waits instead (a failure there means nothing more will run).
    if (scope.status() == drv::CUDA_SUCCESS) drv::cuStreamSynchronize(core->stream);
    Py_DECREF(keeper);
}

void collect_released() noexcept {
    if (g_pending->empty()) return;
    std::vector<PyObject*> done;
    {
        GpuSection gpu;
        rt::ContextScope scope = rt::release_scope();
        for (auto it = g_pending->begin(); it != g_pending->end();) {
            // A reset took the work (and the memory) with it: nothing is left to wait for.
            const bool alive = rt::generation_alive(it->generation);
            if (alive && !rt::mark_reached(it->mark)) {
                ++it;
                continue;
            }
            if (alive) rt::drop_mark(it->mark);
            done.push_back(it->keeper);
            it = g_pending->erase(it);
        }
    }
    for (PyObject* k : done) Py_DECREF(k);  // outside the scope: a deleter may call the driver
}

// ---- exports ------------------------------------------------------------------------------------

namespace {

// What a capsule hands out, with the storage its DLTensor points into.
template <class Managed>
struct Export {
    Managed managed{};
    int64_t shape[2] = {};
    int64_t strides[2] = {};
    PyObject* owner = nullptr;  // the tensor, for a device export
    HostBuffer host;            // the copy, for a host export
};

template <class Managed>
void delete_export(Managed* m) {
    auto* e = static_cast<Export<Managed>*>(m->manager_ctx);
    // Consumers may call the deleter from any thread, with or without the interpreter lock.
    PyGILState_STATE state = PyGILState_Ensure();
    Py_XDECREF(e->owner);
    delete e;
    PyGILState_Release(state);
}

void legacy_capsule_destructor(PyObject* capsule) {
    // Still named "dltensor": nobody took it over, so the capsule owns it.
    if (!PyCapsule_IsValid(capsule, dlpack::kLegacyName)) return;
    auto* m = static_cast<dlpack::ManagedTensor*>(PyCapsule_GetPointer(capsule, dlpack::kLegacyName));
    if (m && m->deleter) m->deleter(m);
}
void versioned_capsule_destructor(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, dlpack::kVersionedName)) return;
    auto* m = static_cast<dlpack::ManagedTensorVersioned*>(PyCapsule_GetPointer(capsule, dlpack::kVersionedName));
    if (m && m->deleter) m->deleter(m);
}

template <class Managed>
PyObject* make_capsule(TensorObject* t, std::optional<HostBuffer> host, bool versioned_copy_flag, uint32_t minor) {
    auto* e = new (std::nothrow) Export<Managed>;
    if (!e) return PyErr_NoMemory();
    dlpack::Tensor& dl = e->managed.dl_tensor;
    e->shape[0] = static_cast<int64_t>(t->rows);
    e->shape[1] = static_cast<int64_t>(t->cols);
    e->strides[0] = static_cast<int64_t>(t->cols);
    e->strides[1] = 1;
    dl.ndim = 2;
    dl.dtype = {dlpack::kFloat, 32, 1};
    dl.shape = e->shape;
    dl.strides = e->strides;
    dl.byte_offset = 0;
    if (host) {
        e->host = std::move(*host);
        dl.data = e->host.data();
        dl.device = {dlpack::kCPU, 0};
    } else {
        dl.data = reinterpret_cast<void*>(static_cast<uintptr_t>(tensor_ptr(t)));
        dl.device = {dlpack::kCUDA, static_cast<int32_t>(t->device_id)};
        e->owner = Py_NewRef(reinterpret_cast<PyObject*>(t));
    }
    e->managed.manager_ctx = e;
    e->managed.deleter = delete_export<Managed>;
    PyObject* capsule;
    if constexpr (std::is_same_v<Managed, dlpack::ManagedTensorVersioned>) {
        e->managed.version = {dlpack::kMajorVersion, minor};
        e->managed.flags = versioned_copy_flag ? dlpack::kFlagIsCopied : 0;
        capsule = PyCapsule_New(&e->managed, dlpack::kVersionedName, versioned_capsule_destructor);
    } else {
        (void)versioned_copy_flag;
        (void)minor;
        capsule = PyCapsule_New(&e->managed, dlpack::kLegacyName, legacy_capsule_destructor);
    }
    if (!capsule) delete_export<Managed>(&e->managed);
    return capsule;
}

// Parses a (type, id) or (major, minor) pair of ints.
bool int_pair(PyObject* obj, const char* what, long long& x, long long& y) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 2 || !int_item(obj, 0, x) || !int_item(obj, 1, y)) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be a tuple of two ints", what);
        return false;
    }
    return true;
}

}  // namespace

PyObject* tensor_dlpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    (void)args;
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "__dlpack__() takes no positional arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject *stream = Py_None, *max_version = Py_None, *dl_device = Py_None, *copy = Py_None;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        const char* key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, i));
        if (!key) return nullptr;
        PyObject* value = args[i];
        if (std::strcmp(key, "stream") == 0) stream = value;
        else if (std::strcmp(key, "max_version") == 0) max_version = value;
        else if (std::strcmp(key, "dl_device") == 0) dl_device = value;
        else if (std::strcmp(key, "copy") == 0) copy = value;
        else {
            PyErr_Format(PyExc_TypeError, "__dlpack__() got an unexpected keyword argument '%s'", key);
            return nullptr;
        }
    }
    TensorObject* t = as_tensor(self);
    if (!holds_data(t)) return raise_runtime("Tensor not initialized");

    // The consumer's stream: None and 1 the legacy default stream, 2 the per-thread default
    // stream, -1 no ordering, any other value a stream handle of the consumer.
    drv::CUstream consumer = drv::CU_STREAM_LEGACY;
    bool order = true;
    if (stream != Py_None) {
        if (!PyLong_Check(stream)) return raise_text(PyExc_TypeError, "stream must be an int or None");
        const long long s = PyLong_AsLongLong(stream);
        if (s == -1 && PyErr_Occurred()) return nullptr;
        if (s == 0) return raise_value("stream 0 is ambiguous for CUDA: pass 1 (legacy default stream), 2 (per-thread default stream) or a stream handle");
        if (s == -1) order = false;
        else if (s < -1) return raise_value("stream " + std::to_string(s) + " is not a CUDA stream");
        else consumer = reinterpret_cast<drv::CUstream>(static_cast<uintptr_t>(s));
    }
    bool versioned = false;
    uint32_t minor = 0;
    if (max_version != Py_None) {
        long long major, min;
        if (!int_pair(max_version, "max_version", major, min)) return nullptr;
        versioned = major >= 1;
        minor = major > 1 ? dlpack::kMinorVersion : static_cast<uint32_t>(std::min<long long>(std::max(min, 0LL), dlpack::kMinorVersion));
    }
    bool to_host = false;
    if (dl_device != Py_None) {
        long long type, id;
        if (!int_pair(dl_device, "dl_device", type, id)) return nullptr;
        if (type == dlpack::kCPU && id == 0) to_host = true;
        else if (!(type == dlpack::kCUDA && id == static_cast<long long>(t->device_id)))
            return raise_text(PyExc_BufferError, "cannot export to DLPack device (" + std::to_string(type) + ", " +
                                                     std::to_string(id) + "): the data is on (2, " +
                                                     std::to_string(t->device_id) + ") and can be copied to (1, 0)");
    }
    int copy_flag = -1;  // -1 None, 0 False, 1 True
    if (copy != Py_None) {
        copy_flag = PyObject_IsTrue(copy);
        if (copy_flag < 0) return nullptr;
    }
    if (to_host && copy_flag == 0) return raise_text(PyExc_BufferError, "a host export of device data needs a copy");

    GpuSection gpu;
    auto core = rt::current_core(t->device_id);
    if (!core) return raise_runtime(core.error());
    if (!tensor_memory_alive(t)) return nullptr;
    collect_released();

    PyRef source = PyRef::borrow(self);
    if (to_host) {
        // The host copy waits for the product like cpu() does.
        if (drv::CUresult s = drv::cuStreamSynchronize((*core)->stream); s != drv::CUDA_SUCCESS)
            return raise_runtime("Failed to synchronize stream: " + rt::cuda_status_text(s));
        std::optional<HostBuffer> host = HostBuffer::uninit(element_count(t->rows, t->cols));
        if (!host) return PyErr_NoMemory();
        if (host->size() > 0)
            if (drv::CUresult s = drv::cuMemcpyDtoH(host->data(), tensor_ptr(t), static_cast<size_t>(host->size()) * 4);
                s != drv::CUDA_SUCCESS)
                return raise_runtime("Failed to copy data from GPU: " + rt::cuda_status_text(s));
        return versioned ? make_capsule<dlpack::ManagedTensorVersioned>(t, std::move(host), true, minor)
                         : make_capsule<dlpack::ManagedTensor>(t, std::move(host), true, minor);
    }
    if (copy_flag == 1) {
        const uint64_t count = element_count(t->rows, t->cols);
        Result<rt::DeviceBuffer> buffer = rt::allocate(count);
        if (!buffer) return raise_runtime("Failed to allocate CUDA memory: " + buffer.error());
        if (auto done = rt::copy_device(buffer->ptr(), tensor_ptr(t), count * 4, (*core)->stream); !done)
            return raise_runtime(done.error());
        source = PyRef::steal(make_tensor(Py_TYPE(self), std::move(buffer).value(), t->rows, t->cols, t->device_id));
        if (!source) return nullptr;
    }
    if (order)
        if (auto ordered = rt::order_streams((*core)->stream, consumer); !ordered) return raise_runtime(ordered.error());
    TensorObject* out = as_tensor(source.get());
    return versioned ? make_capsule<dlpack::ManagedTensorVersioned>(out, std::nullopt, copy_flag == 1, minor)
                     : make_capsule<dlpack::ManagedTensor>(out, std::nullopt, copy_flag == 1, minor);
}

PyObject* tensor_dlpack_device(PyObject* self, PyObject*) noexcept {
    return Py_BuildValue("(iK)", static_cast<int>(dlpack::kCUDA),
                         static_cast<unsigned long long>(as_tensor(self)->device_id));
}

PyObject* tensor_cuda_array_interface(PyObject* self, void*) noexcept {
    TensorObject* t = as_tensor(self);
    if (!holds_data(t)) return raise_runtime("Tensor not initialized");
    if (!tensor_memory_alive(t)) return nullptr;
    rt::CudaCore* core = rt::built_cuda_core();
    if (!core) return raise_runtime("Tensor not initialized");
    // Reading the interface never synchronises: the consumer orders itself after `stream`.
    return Py_BuildValue("{s:(KK),s:s,s:(KO),s:O,s:i,s:K}", "shape", static_cast<unsigned long long>(t->rows),
                         static_cast<unsigned long long>(t->cols), "typestr", "<f4", "data",
                         static_cast<unsigned long long>(tensor_ptr(t)), Py_False, "strides", Py_None, "version", 3,
                         "stream", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(core->stream)));
}

}  // namespace vant::py
