#include "staged_product.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "../runtime/cuda_core.hpp"
#include "../runtime/memory_pool.hpp"
#include "../runtime/staging.hpp"
#include "host_gather.hpp"

namespace vant::engine {
namespace {

static_assert(2 * kMostPanels <= rt::kStagingMarks, "one staging event per panel and direction");

Result<void> status_step(drv::CUresult status, const char* what) {
    if (status == drv::CUDA_SUCCESS) return ok();
    return err(std::string(what) + rt::cuda_status_text(status));
}

// Fill callback: bytes of a view's row-major image (offsets and sizes are whole floats).
struct ViewSource {
    const MatView* view;
    uint64_t first;            // element of the view where the image starts (a panel's first row)
    float* max_abs = nullptr;  // running largest finite |x|, when asked for
};
void fill_from_view(void* ctx, uint64_t offset, uint64_t bytes, void* out) {
    auto* src = static_cast<ViewSource*>(ctx);
    float piece_max = 0.0f;
    gather_range(*src->view, src->first + offset / 4, bytes / 4, static_cast<float*>(out),
                 src->max_abs ? &piece_max : nullptr);
    if (src->max_abs && piece_max > *src->max_abs) *src->max_abs = piece_max;
}

// Slot i of the job's maxima (whole operands first, then A), or null when none are asked for.
float* max_slot(const StagedJob& job, size_t i) { return job.max_abs ? &(*job.max_abs)[i] : nullptr; }

// A contiguous pageable copy of a view, for the blocking copies.
std::optional<HostBuffer> gather_pageable(const MatView& v, float* max_abs) {
    uint64_t n;
    if (!checked_mul(v.rows, v.cols, &n)) return std::nullopt;
    auto buf = HostBuffer::uninit(n);
    if (buf) gather_range(v, 0, n, buf->data(), max_abs);
    return buf;
}

struct HostTarget {
    char* base;
};
void drain_to_host(void* ctx, uint64_t offset, uint64_t bytes, const void* in) {
    copy_bytes(static_cast<HostTarget*>(ctx)->base + offset, in, bytes);
}

// On an error path of the blocking copies, waits for kernels still queued on the stream before
// the device buffers return to the pool.
struct SyncOnExit {
    drv::CUstream stream;
    bool armed = true;
    ~SyncOnExit() {
        if (armed) drv::cuStreamSynchronize(stream);
    }
};

Result<HostBuffer> run_blocking(const GemmDevice& device, const StagedJob& job, const PanelProduct& product,
                                const std::vector<drv::CUdeviceptr>& whole, const std::vector<rt::PooledBuffer>& dev_whole,
                                rt::PooledBuffer& dev_a, rt::PooledBuffer& dev_c, HostBuffer& host) {
    SyncOnExit guard{device.stream};
    for (size_t i = 0; i < job.whole.size(); ++i) {
        auto staged = gather_pageable(*job.whole[i], max_slot(job, i));
        if (!staged) return err("Failed to allocate host memory for an operand");
        if (auto s = status_step(drv::cuMemcpyHtoD(dev_whole[i].ptr(), staged->data(), dev_whole[i].bytes()),
                                 "Failed to copy data to GPU: ");
            !s)
            return std::move(s).take_error();
    }
    {
        auto staged = gather_pageable(*job.a, max_slot(job, job.whole.size()));
        if (!staged) return err("Failed to allocate host memory for an operand");
        if (auto s = status_step(drv::cuMemcpyHtoD(dev_a.ptr(), staged->data(), dev_a.bytes()),
                                 "Failed to copy data to GPU: ");
            !s)
            return std::move(s).take_error();
    }
    if (auto p = product(whole, dev_a.ptr(), dev_c.ptr(), 0, static_cast<uint32_t>(job.a->rows), device.stream); !p)
        return std::move(p).take_error();
    if (auto s = status_step(drv::cuStreamSynchronize(device.stream), "Failed to synchronize stream: "); !s)
        return std::move(s).take_error();
    if (auto s = status_step(drv::cuMemcpyDtoH(host.data(), dev_c.ptr(), dev_c.bytes()), "Failed to copy data from GPU: ");
        !s)
        return std::move(s).take_error();
    guard.armed = false;
    return std::move(host);
}

}  // namespace

Result<HostBuffer> run_staged(const GemmDevice& device, const StagedJob& job, const PanelProduct& product) {
    const MatView& a = *job.a;
    const uint32_t m = static_cast<uint32_t>(a.rows);
    const uint64_t k = a.cols;
    // The core's context is current from here to the end, buffers' returns included.
    auto core = rt::current_core(0);
    if (!core) return std::move(core).take_error();
    if (job.max_abs) job.max_abs->assign(job.whole.size() + 1, 0.0f);

    std::vector<rt::PooledBuffer> dev_whole;
    std::vector<drv::CUdeviceptr> whole;
    for (const MatView* w : job.whole) {
        auto buf = rt::pool_allocate(w->rows * w->cols);
        if (!buf) return err("Failed to allocate CUDA memory: " + buf.error());
        whole.push_back(buf->ptr());
        dev_whole.push_back(std::move(buf).value());
    }
    auto dev_a = rt::pool_allocate(uint64_t{m} * k);
    if (!dev_a) return err("Failed to allocate CUDA memory: " + dev_a.error());
    auto dev_c = rt::pool_allocate(uint64_t{m} * job.c_cols);
    if (!dev_c) return err("Failed to allocate output: " + dev_c.error());
    auto host = HostBuffer::uninit(uint64_t{m} * job.c_cols);  // every element is copied in
    if (!host) return err("Failed to allocate host memory for " + std::to_string(uint64_t{m} * job.c_cols) + " floats");

    advise_huge_pages(host->data(), host->size() * sizeof(float));
    const uint64_t c_row_bytes = job.c_cols * 4;
    const uint64_t a_row_bytes = k * 4;
    const uint32_t rows = job.panel_rows == 0 || job.panel_rows > m ? m : job.panel_rows;
    const uint32_t panels = m == 0 ? 1 : ceil_div(m, rows);
    // Where each panel of C lands; the staging drains into them until finish().
    std::vector<HostTarget> panel_targets(panels);
    for (uint32_t p = 0; p < panels; ++p)
        panel_targets[p].base = reinterpret_cast<char*>(host->data()) + uint64_t{p} * rows * c_row_bytes;

    // Declared after the buffers and the targets: on an error path the lease waits for queued
    // work before they go.
    auto lease = rt::acquire_staging(device.stream);
    if (!lease) return std::move(lease).take_error();
    if (!lease->has_value()) return run_blocking(device, job, product, whole, dev_whole, *dev_a, *dev_c, *host);
    rt::StagingLease& staging = **lease;

    if (panels <= 1) {
        // One stream carries everything: copies, product and copies back are ordered by it.
        const drv::CUstream s = device.stream;
        for (size_t i = 0; i < job.whole.size(); ++i) {
            ViewSource src{job.whole[i], 0, max_slot(job, i)};
            if (auto r = staging.upload(whole[i], dev_whole[i].bytes(), s, {fill_from_view, &src}); !r)
                return std::move(r).take_error();
        }
        ViewSource src{&a, 0, max_slot(job, job.whole.size())};
        if (auto r = staging.upload(dev_a->ptr(), uint64_t{m} * a_row_bytes, s, {fill_from_view, &src}); !r)
            return std::move(r).take_error();
        if (auto p = product(whole, dev_a->ptr(), dev_c->ptr(), 0, m, s); !p) return std::move(p).take_error();
        if (auto r = staging.download(dev_c->ptr(), uint64_t{m} * c_row_bytes, s,
                                      {drain_to_host, &panel_targets[0]});
            !r)
            return std::move(r).take_error();
    } else {
        // Uploads on the staging's upload stream, products on the core's stream, downloads on
        // the download stream, tied together by one event per panel and direction. Panel p's C
        // is queued for download once the product of panel p + 1 is issued: its pieces then
        // share the chunk ring with the uploads of later panels, so both directions of the bus
        // are busy at once, and the device always has the next product to run meanwhile. A
        // downloaded piece is drained when its chunk is claimed again (or by finish), so a claim
        // only ever waits for copies and products that are already queued.
        const drv::CUstream up = staging.upload_stream();
        const drv::CUstream down = staging.download_stream();
        for (size_t i = 0; i < job.whole.size(); ++i) {
            ViewSource src{job.whole[i], 0, max_slot(job, i)};
            if (auto r = staging.upload(whole[i], dev_whole[i].bytes(), up, {fill_from_view, &src}); !r)
                return std::move(r).take_error();
        }
        // Marks are reused round the panels: each is waited on before it is recorded again.
        auto uploaded = [](uint32_t p) { return static_cast<int>(p % kMostPanels); };
        auto computed = [](uint32_t p) { return static_cast<int>(kMostPanels + p % kMostPanels); };
        auto download_panel = [&](uint32_t p) -> Result<void> {
            const uint32_t row0 = p * rows;
            const uint32_t height = std::min(rows, m - row0);
            if (auto r = staging.wait(down, computed(p)); !r) return r;
            return staging.queue_download(dev_c->ptr() + uint64_t{row0} * c_row_bytes, uint64_t{height} * c_row_bytes,
                                          down, {drain_to_host, &panel_targets[p]});
        };
        for (uint32_t p = 0; p < panels; ++p) {
            const uint32_t row0 = p * rows;
            const uint32_t height = std::min(rows, m - row0);
            // A's range is that of the panel whose product is issued next.
            if (job.max_abs) job.max_abs->back() = 0.0f;
            ViewSource src{&a, uint64_t{row0} * k, max_slot(job, job.whole.size())};
            const drv::CUdeviceptr a_panel = dev_a->ptr() + uint64_t{row0} * a_row_bytes;
            if (auto r = staging.upload(a_panel, uint64_t{height} * a_row_bytes, up, {fill_from_view, &src}); !r)
                return std::move(r).take_error();
            if (auto r = staging.record(uploaded(p), up); !r) return std::move(r).take_error();
            if (auto r = staging.wait(device.stream, uploaded(p)); !r) return std::move(r).take_error();
            if (auto r = product(whole, a_panel, dev_c->ptr() + uint64_t{row0} * c_row_bytes, row0, height,
                                 device.stream);
                !r)
                return std::move(r).take_error();
            if (auto r = staging.record(computed(p), device.stream); !r) return std::move(r).take_error();
            if (p > 0)
                if (auto r = download_panel(p - 1); !r) return std::move(r).take_error();
        }
        if (auto r = download_panel(panels - 1); !r) return std::move(r).take_error();
    }
    if (auto r = staging.finish(); !r) return std::move(r).take_error();
    return std::move(host).value();
}

}  // namespace vant::engine
