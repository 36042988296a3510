// aerie._aerie: the hosting library seen from Python. A thin layer: loaded
// modules kept between calls (RenderChain), renders as aerie's render job,
// presets through aerie's preset code, errors as one exception class per
// error kind. The Python package (aerie/__init__.py) checks the arguments
// and turns MIDI and automation into the plain lists taken here.
//
// Threads: the GIL is released while a plug-in runs. A Plugin is used by
// one thread at a time; a call that finds it busy is refused (PluginBusy)
// instead of calling the plug-in from two threads at once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <aerie/aerie.h>

#include "module.h"

namespace py = pybind11;
using pyaerie::raise;
using pyaerie::RenderCall;

#if defined(AERIE_PYTHON_VALIDATE)
void defineValidate(py::module_& m);  // validate.cpp
#endif

namespace {

// ---- Errors: one class per error kind, all under AerieError ----

struct ErrorClass {
    aerie::ErrorKind kind;
    const char* name;
    const char* parent;  // another class of this table, or null for AerieError
    const char* doc;
};

// BadArgument is also a ValueError (see makeErrors); PresetError's kind is
// BadInputFile, but it is raised as BadPreset.
const ErrorClass kErrorClasses[] = {
    {aerie::ErrorKind::ModuleMissing, "ModuleNotFound", nullptr, "No file at the path, or no module of that name."},
    {aerie::ErrorKind::ModuleUnreadable, "ModuleUnreadable", nullptr, "The file exists but cannot be read."},
    {aerie::ErrorKind::NotALibrary, "NotAPlugin", nullptr, "The file is no plug-in module this host can load."},
    {aerie::ErrorKind::WrongSystem, "WrongSystem", "NotAPlugin", "A module for another system."},
    {aerie::ErrorKind::LoadFailed, "LoadFailed", "NotAPlugin", "The system's loader refused the module."},
    {aerie::ErrorKind::NoEntry, "NoEntry", "NotAPlugin", "The module exports no plug-in entry point."},
    {aerie::ErrorKind::WrongArchitecture, "WrongArchitecture", nullptr, "A module for another bitness or processor."},
    {aerie::ErrorKind::EntryNull, "EntryNull", nullptr, "The entry point answered no plug-in."},
    {aerie::ErrorKind::BadRecord, "BadRecord", nullptr, "The entry point answered something that is not a plug-in."},
    {aerie::ErrorKind::WrongState, "WrongState", nullptr, "A call the plug-in's state does not allow now (closed, say)."},
    {aerie::ErrorKind::BadArgument, "BadArgument", nullptr, "An argument that does not fit (also a ValueError)."},
    {aerie::ErrorKind::Ambiguous, "AmbiguousName", nullptr, "A name that fits several modules."},
    {aerie::ErrorKind::Crashed, "PluginCrashed", nullptr, "The plug-in crashed."},
    {aerie::ErrorKind::Hung, "PluginHung", nullptr, "The plug-in made no progress for the time allowed."},
    {aerie::ErrorKind::EndedProcess, "PluginExited", nullptr, "The plug-in ended its process."},
    {aerie::ErrorKind::BadInputFile, "BadInputFile", nullptr, "An input file (MIDI, preset) is malformed or does not fit."},
    {aerie::ErrorKind::OutputFile, "OutputFileError", nullptr, "An output file cannot be written."},
};

std::map<std::string, py::object>& errorClasses() {
    static auto* classes = new std::map<std::string, py::object>();  // lives as long as the interpreter
    return *classes;
}

py::object errorClass(const char* name) { return errorClasses().at(name); }

void makeErrors(py::module_& m) {
    auto& classes = errorClasses();
    auto make = [&](const char* name, py::tuple bases, const char* doc) {
        const std::string qualified = std::string("aerie.") + name;
        py::object cls = py::reinterpret_steal<py::object>(
            PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr));
        if (!cls) throw py::error_already_set();
        m.attr(name) = cls;
        classes[name] = cls;
    };
    make("AerieError", py::make_tuple(py::handle(PyExc_RuntimeError)),
         "Base of every error of aerie; its message is the line vst2host prints.");
    for (const ErrorClass& e : kErrorClasses) {
        py::object parent = errorClass(e.parent != nullptr ? e.parent : "AerieError");
        py::tuple bases = e.kind == aerie::ErrorKind::BadArgument ? py::make_tuple(parent, py::handle(PyExc_ValueError))
                                                                  : py::make_tuple(parent);
        make(e.name, bases, e.doc);
    }
    make("BadPreset", py::make_tuple(errorClass("BadInputFile")),
         "A preset or bank that is malformed or made for another plug-in.");
    make("PluginBusy", py::make_tuple(errorClass("WrongState")),
         "The plug-in is being called from another thread: one call at a time.");
    make("AerieWarning", py::make_tuple(py::handle(PyExc_UserWarning)),
         "What vst2host notes for the user: channels dropped or fanned out, MIDI no plug-in asks for.");
    // NOLINTNEXTLINE(performance-unnecessary-value-param): pybind11's translator type takes it by value
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const aerie::PresetError& e) {
            PyErr_SetString(errorClass("BadPreset").ptr(), e.what());
        } catch (const aerie::HostError& e) {
            const char* name = "AerieError";
            for (const ErrorClass& c : kErrorClasses) {
                if (c.kind == e.kind()) name = c.name;
            }
            PyErr_SetString(errorClass(name).ptr(), e.what());
        }
    });
}

}  // namespace

[[noreturn]] void pyaerie::raise(const char* cls, const std::string& message) {
    PyErr_SetString(errorClass(cls).ptr(), message.c_str());
    throw py::error_already_set();
}

py::dict pyaerie::identityDict(const Identity& i) {
    py::dict d;
    d["name"] = i.name;
    d["vendor"] = i.vendor;
    d["product"] = i.product;
    d["version"] = i.version;
    d["unique_id"] = i.uniqueId;
    d["category"] = i.category;
    d["is_instrument"] = i.isInstrument;
    d["num_inputs"] = i.numInputs;
    d["num_outputs"] = i.numOutputs;
    return d;
}

py::object pyaerie::renderResult(py::array_t<float> out, const RenderedCall& done, bool returnMidi) {
    if (!done.notes.empty()) {
        py::object warn = py::module_::import("warnings").attr("warn");
        for (const std::string& n : done.notes) warn(n, errorClass("AerieWarning"), 2);
    }
    if (!returnMidi) return out;
    py::list midi;
    for (const auto& [bytes, seconds] : done.midi) midi.append(py::make_tuple(py::bytes(bytes), seconds));
    return py::make_tuple(std::move(out), midi);
}

namespace {

// ---- A loaded plug-in ----

class Plugin {
public:
    Plugin(const std::string& path, double sampleRate, std::int32_t blockSize) {
        py::gil_scoped_release release;
        core_ = std::make_unique<pyaerie::Core>(path, sampleRate, blockSize);
    }

    // One call at a time, and none once closed.
    class Use {
    public:
        explicit Use(Plugin& p) : p_(p) {
            if (p.busy_.exchange(true)) raise("PluginBusy", "the plug-in " + p.name() + " is in use by another thread");
            if (p.closed()) {
                p.busy_ = false;
                raise("WrongState", "the plug-in " + p.name() + " is closed");
            }
        }
        ~Use() { p_.busy_ = false; }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        Plugin& p_;
    };

    pyaerie::Core& core() { return *core_; }
    std::uint32_t sampleRate() const { return core_->sampleRate(); }
    std::int32_t blockSize() const { return core_->blockSize(); }
    const std::string& name() const { return core_->name(); }
    const std::string& path() const { return core_->path(); }
    bool closed() const { return core_->closed(); }

    void close() {
        if (closed()) return;
        Use use(*this);
        py::gil_scoped_release release;
        core_->close();
    }

    // Calls f(core) as the plug-in's one user, without the GIL.
    template <class F>
    auto use(F f) {
        Use use(*this);
        py::gil_scoped_release release;
        return f(*core_);
    }

private:
    std::unique_ptr<pyaerie::Core> core_;
    std::atomic<bool> busy_{false};
};

// Every plug-in of a render, taken for the call (released in reverse).
class UseAll {
public:
    explicit UseAll(const std::vector<Plugin*>& plugins) {
        for (Plugin* p : plugins) uses_.push_back(std::make_unique<Plugin::Use>(*p));
    }

private:
    std::vector<std::unique_ptr<Plugin::Use>> uses_;
};

// ---- Rendering ----

py::object render(const std::vector<Plugin*>& plugins, aerie::RenderChain& chain, const RenderCall& call) {
    UseAll use(plugins);
    std::vector<const float*> inputs;
    pyaerie::RenderInput input;
    if (call.audio) {
        const auto& a = *call.audio;
        for (py::ssize_t c = 0; c < a.shape(0); ++c) inputs.push_back(a.data(c, 0));
        input = {inputs.data(), static_cast<int>(inputs.size()), static_cast<std::uint64_t>(a.shape(1))};
    }
    // The output made here, under the GIL, in the shape the render asks
    // for when it knows its length (the last plug-in's outputs, the call's
    // frames), so that the render writes into it without taking the GIL
    // back. A render that asks another shape (pins changed by the load), a
    // length from the MIDI, or an array that cannot be made yet, gets its
    // output made when asked, as before: the render's own errors come first.
    std::optional<py::array_t<float>> out;
    float* made = nullptr;
    const std::int32_t outputs = plugins.back()->core().loaded().instance->numOutputs();
    if (!call.untilEvents && outputs >= 1 && outputs <= 1024 &&
        call.frames <= static_cast<std::uint64_t>(PTRDIFF_MAX / sizeof(float) / 1024)) {
        try {
            out.emplace(std::vector<py::ssize_t>{outputs, static_cast<py::ssize_t>(call.frames)});
            made = out->mutable_data();
        } catch (const py::error_already_set&) {  // no memory for it now: asked again, and raised, after the load
            out.reset();
        }
    }
    pyaerie::RenderedCall done;
    {
        py::gil_scoped_release release;
        done = pyaerie::renderCall(chain, plugins.front()->sampleRate(), plugins.front()->blockSize(), call, input,
                                   [&out, made, outputs, &call](int channels, std::uint64_t frames) {
                                       if (made != nullptr && channels == outputs && frames == call.frames) return made;
                                       py::gil_scoped_acquire acquire;
                                       out.emplace(std::vector<py::ssize_t>{channels, static_cast<py::ssize_t>(frames)});
                                       return out->mutable_data();
                                   });
    }
    return renderResult(std::move(*out), done, call.returnMidi);
}

// ---- Probing in a child process ----

// What a probe learns, as a dict; a module that cannot be probed gives an
// "error" entry instead.
py::dict probeInChild(const std::string& path, double timeout) {
    aerie::SandboxResult result;
    {
        py::gil_scoped_release release;
        aerie::SandboxOptions options;
        options.output = aerie::SandboxOptions::Output::Discard;
        options.timeoutSeconds = timeout;
        result = aerie::runSandboxed(
            [&path](aerie::SandboxReporter& reporter) {
                const aerie::ModuleInfo i = aerie::probeModule(path, [&](const std::string& s) { reporter.step(s); }, 0);
                reporter.send("name", i.identity.effectName);
                reporter.send("vendor", i.identity.vendor);
                reporter.send("numbers", std::to_string(i.identity.uniqueId) + " " + std::to_string(i.identity.vendorVersion) + " " +
                                             std::to_string(i.identity.category) + " " + std::to_string(i.flags) + " " +
                                             std::to_string(i.numInputs) + " " + std::to_string(i.numOutputs) + " " +
                                             std::to_string(i.numParams) + " " + std::to_string(i.numPrograms) + " " +
                                             std::to_string(i.initialDelay));
                return 0;
            },
            options);
    }
    py::dict d;
    d["path"] = path;
    if (!result.ok()) {
        d["error"] = result.end == aerie::SandboxResult::End::Failed ? result.error : "the module " + result.describe();
        return d;
    }
    long long n[9] = {};
    std::istringstream numbers(result.message("numbers"));
    for (long long& x : n) numbers >> x;
    d["name"] = result.message("name");
    d["vendor"] = result.message("vendor");
    d["unique_id"] = n[0];
    d["version"] = n[1];
    d["category"] = aerie::categoryName(static_cast<std::int32_t>(n[2]));
    d["is_instrument"] = (n[3] & effFlagsIsSynth) != 0 || n[2] == kPlugCategSynth;
    d["num_inputs"] = n[4];
    d["num_outputs"] = n[5];
    d["num_parameters"] = n[6];
    d["num_programs"] = n[7];
    d["latency"] = n[8];
    return d;
}

std::string resolve(const std::string& nameOrPath) {
    if (aerie::isPath(nameOrPath)) return nameOrPath;
    py::gil_scoped_release release;
    const std::vector<std::string> folders = aerie::pluginFolders();
    return aerie::resolveModule(nameOrPath, folders, [](const std::string& path) -> std::string {
        py::gil_scoped_acquire acquire;
        py::dict d = probeInChild(path, 10.0);
        return d.contains("name") ? d["name"].cast<std::string>() : std::string();
    });
}

}  // namespace

PYBIND11_MODULE(_aerie, m) {
    m.doc() = "The compiled core of aerie; use the aerie package.";
    makeErrors(m);
    m.attr("version") = aerie::kVersion;

    using pyaerie::Core;
    py::class_<Plugin>(m, "Plugin")
        .def(py::init<const std::string&, double, std::int32_t>(), py::arg("path"), py::arg("sample_rate"),
             py::arg("block_size"))
        .def("close", &Plugin::close)
        .def_property_readonly("closed", &Plugin::closed)
        .def_property_readonly("path", &Plugin::path)
        .def_property_readonly("sample_rate", &Plugin::sampleRate)
        .def_property_readonly("block_size", &Plugin::blockSize)
        .def("identity", [](Plugin& p) { return pyaerie::identityDict(p.use([](Core& c) { return c.identity(); })); })
        .def_property_readonly("latency", [](Plugin& p) { return p.use([](Core& c) { return c.latency(); }); })
        .def_property_readonly("tail", [](Plugin& p) { return p.use([](Core& c) { return c.tail(); }); })
        .def("parameter_names", [](Plugin& p) { return p.use([](Core& c) { return c.parameterNames(); }); })
        .def("parameter",
             [](Plugin& p, std::int32_t index) {
                 const aerie::ParameterInfo i = p.use([index](Core& c) { return c.parameter(index); });
                 return py::make_tuple(i.name, i.value, i.display, i.label);
             })
        .def("set_parameter",
             [](Plugin& p, std::int32_t index, float value) { p.use([=](Core& c) { c.setParameter(index, value); }); })
        .def("program_names", [](Plugin& p) { return p.use([](Core& c) { return c.programNames(); }); })
        .def("program", [](Plugin& p) { return p.use([](Core& c) { return c.program(); }); })
        .def("set_program", [](Plugin& p, std::int32_t index) { p.use([index](Core& c) { c.setProgram(index); }); })
        .def("get_state",
             [](Plugin& p, bool bank) {
                 const std::vector<unsigned char> bytes = p.use([bank](Core& c) { return c.state(bank); });
                 return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
             })
        .def("set_state",
             [](Plugin& p, const py::bytes& data) {
                 const std::string s = data;
                 const std::vector<unsigned char> bytes(s.begin(), s.end());
                 return p.use([&bytes](Core& c) { return c.setState(bytes); });
             })
        .def("load_preset",
             [](Plugin& p, const std::string& path) { return p.use([&path](Core& c) { return c.loadPreset(path); }); })
        .def("render", [](Plugin& p, const RenderCall& call) { return render({&p}, p.core().chain(), call); })
        .def("save_preset", [](Plugin& p, const std::string& path, bool bank) {
            p.use([&](Core& c) { c.savePreset(path, bank); });
        });

    py::class_<RenderCall>(m, "RenderCall")
        .def(py::init<>())
        .def_readwrite("audio", &RenderCall::audio)
        .def_readwrite("frames", &RenderCall::frames)
        .def_readwrite("until_events", &RenderCall::untilEvents)
        .def_readwrite("tail_seconds", &RenderCall::tailSeconds)
        .def_readwrite("messages", &RenderCall::messages)
        .def_readwrite("midi_file", &RenderCall::midiFile)
        .def_readwrite("bpm", &RenderCall::bpm)
        .def_readwrite("signature", &RenderCall::signature)
        .def_readwrite("automation", &RenderCall::automation)
        .def_readwrite("compensate_latency", &RenderCall::compensateLatency)
        .def_readwrite("reset", &RenderCall::reset)
        .def_readwrite("return_midi", &RenderCall::returnMidi);


    // A chain of loaded plug-ins with its own stream.
    struct Chain {
        std::vector<Plugin*> plugins;
        py::list keep;  // the Python objects, alive as long as the chain
        aerie::RenderChain chain;
        // A stream of this chain ends with it (RenderChain's destructor;
        // its plug-ins, kept alive by `keep`, stay loaded).
    };
    py::class_<Chain>(m, "Chain")
        .def(py::init([](const py::list& plugins) {
            auto c = std::make_unique<Chain>();
            for (py::handle h : plugins) {
                Plugin& p = h.cast<Plugin&>();
                c->plugins.push_back(&p);
                c->keep.append(h);
                c->chain.modules.push_back(&p.core().loaded());
            }
            if (c->plugins.empty()) throw aerie::HostError(aerie::ErrorKind::BadArgument, "a chain needs at least one plug-in");
            return c;
        }))
        .def("render", [](Chain& c, const RenderCall& call) { return render(c.plugins, c.chain, call); });

#if defined(AERIE_PYTHON_VALIDATE)
    defineValidate(m);
#endif
    pyaerie::defineIsolated(m);
    m.def("resolve", &resolve, py::arg("name_or_path"));
    m.def("probe", &probeInChild, py::arg("path"), py::arg("timeout") = 10.0);
    m.def("find_modules", [](std::optional<std::vector<std::string>> folders) {
        return aerie::findModules(folders ? *folders : aerie::pluginFolders());
    });
}
