// _write_file: the work of one of the module's functions from input files to
// an output file, in bounded memory. Each input is mapped (its pages are the
// file's, read from the page cache and dropped again as the kernel likes),
// the output is planned from them, and the output file, given as an open
// descriptor, is set to the planned size, its blocks reserved, mapped and
// written in place. Only the plan (the index of samples) takes memory of
// the process's own.
#include "python/file_job.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "python/allocation.h"
#include "python/call_frame.h"
#include "roads/edit_roads.h"
#include "roads/mp4_roads.h"
#include "roads/ts_to_fmp4.h"
#include "roads/ts_to_mp4.h"

namespace morvex::python {
namespace {

// A file mapped for reading, as long as the object lives.
struct MappedInput {
    int fd = -1;
    void* map = nullptr;
    size_t size = 0;

    MappedInput() = default;
    MappedInput(const MappedInput&) = delete;
    MappedInput& operator=(const MappedInput&) = delete;
    ~MappedInput() {
        if (map != nullptr) ::munmap(map, size);
        if (fd >= 0) ::close(fd);
    }

    ByteSpan span() const { return map ? ByteSpan(static_cast<const uint8_t*>(map), size) : ByteSpan(); }
};

// An address space too small to map a file is memory that ran out.
bool raise_os_error(const std::string& path, size_t size = 0) {
    if (errno == ENOMEM) raise_no_memory(size);
    else PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    return false;
}

bool map_input(const std::string& path, MappedInput& in) {
    in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) return raise_os_error(path);
    struct stat st;
    if (::fstat(in.fd, &st) != 0) return raise_os_error(path);
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return raise_os_error(path);
    }
    in.size = size_t(st.st_size);
    if (in.size == 0) return true;
    in.map = ::mmap(nullptr, in.size, PROT_READ, MAP_PRIVATE, in.fd, 0);
    if (in.map == MAP_FAILED) {
        in.map = nullptr;
        return raise_os_error(path, in.size);
    }
    ::madvise(in.map, in.size, MADV_SEQUENTIAL);
    return true;
}

// The output file mapped for writing, at the planned size.
struct MappedOutput {
    void* map = nullptr;
    size_t size = 0;
    ~MappedOutput() {
        if (map != nullptr) ::munmap(map, size);
    }
};

using Plan = std::function<Result<PlannedOutput>(const std::vector<ByteSpan>&, const ClipRange&, std::string&)>;

struct Job {
    const char* name;
    size_t inputs;  // 0: any number, one or more
    bool reports;
    Plan plan;
};

const Job kJobs[] = {
    {"convert_ts_to_mp4", 1, true, [](auto& in, auto&, std::string& r) { return plan_convert_ts_to_mp4(in[0], r); }},
    {"convert_ts_to_fmp4", 1, true, [](auto& in, auto&, std::string& r) { return plan_convert_ts_to_fmp4(in[0], r); }},
    {"defragment_mp4", 1, false, [](auto& in, auto&, std::string&) { return plan_defragment_mp4(in[0]); }},
    {"reset_mp4_timestamps", 1, false, [](auto& in, auto&, std::string&) { return plan_reset_mp4_timestamps(in[0]); }},
    {"convert_mp4_reset_timestamps", 1, false,
     [](auto& in, auto&, std::string&) { return plan_convert_mp4_reset_timestamps(in[0]); }},
    {"mux_fmp4_tracks", 2, false, [](auto& in, auto&, std::string&) { return plan_mux_fmp4_tracks(in[0], in[1]); }},
    {"clip", 1, false, [](auto& in, auto& range, std::string& r) { return plan_clip(in[0], range, r); }},
    {"concat", 0, false, [](auto& in, auto&, std::string& r) { return plan_concat(in, r); }},
};

PyObject* write_file_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"name", "inputs", "fd", "progress", "report", "start", "end", "exact", nullptr};
    const char* name = nullptr;
    PyObject* inputs = nullptr;
    int fd = -1;
    PyObject* progress = nullptr;
    PyObject* report_arg = nullptr;
    double start = 0;
    PyObject* end_arg = Py_None;
    int exact = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOi|$OOdOp:_write_file", const_cast<char**>(keywords), &name,
                                     &inputs, &fd, &progress, &report_arg, &start, &end_arg, &exact))
        return nullptr;
    ClipRange range{start, std::nullopt, bool(exact)};
    if (end_arg != Py_None) {
        range.end = PyFloat_AsDouble(end_arg);
        if (PyErr_Occurred()) return nullptr;
    }
    const Job* job = nullptr;
    for (const auto& j : kJobs)
        if (std::strcmp(j.name, name) == 0) job = &j;
    if (job == nullptr) {
        PyErr_Format(PyExc_ValueError, "%s does not write a file of its own", name);
        return nullptr;
    }
    const Py_ssize_t n = PySequence_Size(inputs);
    if (n < 0) return nullptr;
    if ((job->inputs != 0 && size_t(n) != job->inputs) || n == 0) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu input file(s), not %zd", name, job->inputs, n);
        return nullptr;
    }
    std::vector<std::unique_ptr<MappedInput>> mapped;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PySequence_GetItem(inputs, k);
        if (item == nullptr) return nullptr;
        PyObject* encoded = nullptr;
        const int converted = PyUnicode_FSConverter(item, &encoded);
        Py_DECREF(item);
        if (!converted) return nullptr;
        const std::string path = PyBytes_AsString(encoded);
        Py_DECREF(encoded);
        mapped.push_back(std::make_unique<MappedInput>());
        if (!map_input(path, *mapped.back())) return nullptr;
    }
    ReportSink sink{nullptr, false};
    if (job->reports && !convert_report(report_arg, &sink)) return nullptr;
    std::vector<ByteSpan> spans;
    for (const auto& m : mapped) spans.push_back(m->span());
    std::string report;
    MappedOutput output;
    auto storage = [&](size_t size) -> std::optional<std::span<uint8_t>> {
        auto fail = [size](int e) -> std::optional<std::span<uint8_t>> {
            if (e == ENOMEM) {
                raise_no_memory(size);
            } else {
                errno = e;
                PyErr_SetFromErrno(PyExc_OSError);
            }
            return std::nullopt;
        };
        if (::ftruncate(fd, off_t(size)) != 0) return fail(errno);
        if (size == 0) return std::span<uint8_t>();
        // The blocks are reserved first: a full disk is an error here, not
        // a fault while the mapped pages are written.
        if (const int e = ::posix_fallocate(fd, 0, off_t(size)); e != 0 && e != EOPNOTSUPP && e != EINVAL)
            return fail(e);
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) return fail(errno);
        output.map = p;
        output.size = size;
        return std::span<uint8_t>(static_cast<uint8_t*>(p), size);
    };
    const Job& chosen = *job;
    return run_planned_into([&] { return chosen.plan(spans, range, report); }, storage, progress,
                            job->reports ? &report : nullptr, sink);
}

}  // namespace

PyMethodDef file_functions[] = {
    {"_write_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_file_py)),
     METH_VARARGS | METH_KEYWORDS,
     "_write_file(name, inputs, fd, *, progress=None, report=..., start=0.0, end=None, exact=False)\n--\n\n"
     "Write the output of the module function `name` on the input files into\n"
     "the open file `fd` (morvex.write_file is the public face)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace morvex::python
