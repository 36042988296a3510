// aerie._aerie.validate: `vst2host validate`'s tests through the validator's
// library API, each test in a child process of its own, and the report.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <aerie/host_error.h>

#include "tools/vst2host/validate/validator.h"

namespace py = pybind11;

namespace {

// The audio thread's calls are watched by functions the validating program
// itself provides; inside the interpreter, the C library's come first, so
// the watch would see nothing and pass. The test says so instead.
constexpr const char* kNotWatched =
    "the audio thread's calls cannot be watched inside a Python process (the interpreter's C library answers "
    "them first); vst2host validate watches them";

struct Report {
    validate::ModuleReport report;
    validate::RunOptions options;
    double seconds = 0;
};

void markUnwatched(validate::ModuleReport& r) {
    for (validate::TestResult& t : r.tests) {
        if (t.name().rfind("realtime.", 0) != 0 || t.status == validate::TestResult::Status::Skipped) continue;
        (t.status == validate::TestResult::Status::Passed ? r.passed : r.failed) -= 1;
        ++r.skipped;
        t.status = validate::TestResult::Status::Skipped;
        t.skipReason = kNotWatched;
        t.failures.clear();
        t.warnings.clear();
    }
}

}  // namespace

void defineValidate(py::module_& m) {
    py::class_<validate::TestResult>(m, "TestResult")
        .def_property_readonly("name", &validate::TestResult::name)
        .def_property_readonly("status", [](const validate::TestResult& t) { return validate::statusName(t.status); })
        .def_property_readonly("message",
                               [](const validate::TestResult& t) {
                                   std::string m = t.message();
                                   while (!m.empty() && m.back() == '\n') m.pop_back();
                                   return m;
                               })
        .def_readonly("time", &validate::TestResult::seconds)
        .def_readonly("failures", &validate::TestResult::failures)
        .def_readonly("warnings", &validate::TestResult::warnings)
        .def_readonly("notes", &validate::TestResult::notes)
        .def("__repr__", [](const validate::TestResult& t) {
            return "<TestResult " + t.name() + " " + validate::statusName(t.status) + ">";
        });

    py::class_<Report>(m, "Report", "What validate() found: tests (name, status, message, time), passed, to_junit().")
        .def_property_readonly("path", [](const Report& r) { return r.report.path; })
        .def_property_readonly("plugin", [](const Report& r) { return r.report.plugin; })
        .def_property_readonly("tests", [](const Report& r) { return r.report.tests; })
        .def_property_readonly("passed", [](const Report& r) { return r.report.ok(); },
                               "Whether no test failed.")
        .def_property_readonly("counts",
                               [](const Report& r) {
                                   py::dict d;
                                   d["passed"] = r.report.passed;
                                   d["failed"] = r.report.failed;
                                   d["skipped"] = r.report.skipped;
                                   return d;
                               })
        .def_property_readonly("time", [](const Report& r) { return r.report.seconds; })
        .def(
            "to_junit",
            [](const Report& r, const std::filesystem::path& path) {
                py::gil_scoped_release release;
                validate::writeJunit(path.string(), {r.report}, r.options, r.seconds);
            },
            py::arg("path"), "Writes the report as JUnit XML, as CI systems read it.")
        .def("__repr__", [](const Report& r) {
            return "<aerie.Report " + r.report.path + ": " + std::to_string(r.report.passed) + " passed, " +
                   std::to_string(r.report.failed) + " failed, " + std::to_string(r.report.skipped) + " skipped>";
        });

    m.def(
        "validate",
        [](const std::string& path, int strictness, std::optional<std::vector<std::string>> only, double timeout) {
            Report r;
            r.options.strictness = strictness;
            r.options.timeout = timeout;
            if (only) r.options.only = *only;
            const std::vector<std::string> unknown = validate::unknownPatterns(r.options.only);
            if (!unknown.empty()) {
                throw aerie::HostError(aerie::ErrorKind::BadArgument, "only: no test or group \"" + unknown.front() + "\"");
            }
            py::gil_scoped_release release;
            const auto start = std::chrono::steady_clock::now();
            r.report = validate::validateModule(path, r.options);
            r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            markUnwatched(r.report);
            return r;
        },
        py::arg("path"), py::arg("strictness"), py::arg("only"), py::arg("timeout"));
}
