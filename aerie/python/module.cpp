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
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <aerie/aerie.h>
#include <aerie/io/preset.h>
#include <aerie/preset_state.h>
#include <aerie/render_job.h>

namespace py = pybind11;

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

[[noreturn]] void raise(const char* cls, const std::string& message) {
    PyErr_SetString(errorClass(cls).ptr(), message.c_str());
    throw py::error_already_set();
}

// ---- A loaded plug-in ----

// The job fields every render from Python shares with vst2host's, so that
// both render the same job.
aerie::RenderJob baseJob(std::uint32_t sampleRate, std::int32_t blockSize) {
    aerie::RenderJob job;
    job.sampleRate = sampleRate;
    job.blockSize = blockSize;
    return job;
}

class Plugin {
public:
    Plugin(const std::string& path, double sampleRate, std::int32_t blockSize) {
        if (!(sampleRate >= 1.0 && sampleRate <= 1e7) || sampleRate != std::floor(sampleRate)) {
            throw aerie::HostError(aerie::ErrorKind::BadArgument, "sample_rate must be a whole number of Hz from 1");
        }
        if (blockSize < 1 || blockSize > 1 << 20) {
            throw aerie::HostError(aerie::ErrorKind::BadArgument, "block_size must be from 1 to 1048576 frames");
        }
        rate_ = static_cast<std::uint32_t>(sampleRate);
        const aerie::RenderJob job = baseJob(rate_, blockSize);
        py::gil_scoped_release release;
        module_ = aerie::loadRenderModule(job, path, 0, 1, {});
        own_.modules = {module_.get()};
    }
    // own_ goes before module_: a stream left running is suspended first.
    ~Plugin() = default;

    // One call at a time, and none once closed.
    class Use {
    public:
        explicit Use(Plugin& p) : p_(p) {
            if (p.busy_.exchange(true)) raise("PluginBusy", "the plug-in " + p.name() + " is in use by another thread");
            if (!p.module_->instance) {
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

    aerie::Instance& instance() { return *module_->instance; }
    aerie::LoadedModule& loaded() { return *module_; }
    aerie::RenderChain& chain() { return own_; }
    std::uint32_t sampleRate() const { return rate_; }
    std::int32_t blockSize() const { return module_->host.blockSize; }
    const std::string& name() const { return module_->name; }
    const std::string& path() const { return module_->path; }
    bool closed() const { return !module_->instance; }

    void close() {
        if (closed()) return;
        Use use(*this);
        py::gil_scoped_release release;
        if (module_->runningIn != nullptr) module_->runningIn->stop();
        module_->instance->close();
        module_->instance.reset();
        module_->module.reset();
    }

    // Loading a preset or state needs the plug-in suspended: a stream left running ends here.
    void endStream() {
        if (module_->runningIn != nullptr) module_->runningIn->stop();
    }

private:
    std::unique_ptr<aerie::LoadedModule> module_;
    aerie::RenderChain own_;
    std::uint32_t rate_ = 44100;
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

// What a call renders, already checked and normalised by the package.
struct RenderCall {
    std::optional<py::array_t<float, py::array::c_style | py::array::forcecast>> audio;  // (channels, frames)
    std::uint64_t frames = 0;  // the output's length (0 with `untilEvents`)
    bool untilEvents = false;  // the length from the MIDI: last event plus the tail
    double tailSeconds = 0.0;
    std::vector<std::pair<std::string, double>> messages;  // (bytes, seconds)
    std::string midiFile;
    std::optional<double> bpm;
    std::optional<std::pair<int, int>> signature;
    // (module, parameter index, time, unit: "s" seconds or "f" frames, value)
    std::vector<std::tuple<std::size_t, std::int32_t, double, std::string, float>> automation;
    bool compensateLatency = true;
    bool reset = true;
    bool returnMidi = false;
};

py::object render(const std::vector<Plugin*>& plugins, aerie::RenderChain& chain, const RenderCall& call) {
    UseAll use(plugins);
    Plugin& first = *plugins.front();
    aerie::RenderJob job = baseJob(first.sampleRate(), first.blockSize());
    job.chain = &chain;
    job.continues = !call.reset;
    job.leaveRunning = true;
    job.captureMidi = call.returnMidi;
    job.compensateLatency = call.compensateLatency;
    job.tailSeconds = call.tailSeconds;
    job.bpm = call.bpm;
    if (call.signature) job.signature = aerie::TimeSignature{0, call.signature->first, call.signature->second};
    job.midiFile = call.midiFile;
    for (const auto& [bytes, seconds] : call.messages) {
        aerie::RenderMessage m;
        m.seconds = seconds;
        std::memcpy(m.bytes, bytes.data(), std::min<std::size_t>(bytes.size(), 3));
        job.messages.push_back(m);
    }
    for (const auto& [module, index, time, unit, value] : call.automation) {
        aerie::RenderAutomation a;
        a.parameter.module = module;
        a.parameter.parameter = std::to_string(index + 1);
        a.parameter.value = value;
        a.parameter.what = "automation";
        a.time = time;
        a.unit = unit == "f" ? aerie::RenderAutomation::Unit::Frames : aerie::RenderAutomation::Unit::Seconds;
        a.where = "automation";
        job.automation.push_back(a);
    }
    std::vector<const float*> inputs;
    if (call.audio) {
        const auto& a = *call.audio;
        for (py::ssize_t c = 0; c < a.shape(0); ++c) inputs.push_back(a.data(c, 0));
        job.inputBuffers = inputs.data();
        job.inputChannels = static_cast<int>(inputs.size());
        job.inputFrames = static_cast<std::uint64_t>(a.shape(1));
    }

    std::optional<aerie::PlannedRender> plan;
    std::optional<aerie::RenderSession> session;
    std::vector<std::string> notes;  // what vst2host would note for the user
    std::size_t midiBefore = 0;
    std::uint64_t startFrame = 0;  // the renderer's frame this call starts at
    {
        py::gil_scoped_release release;
        plan.emplace(aerie::planRender(job));
        if (!call.untilEvents) plan->frames = call.frames;
        aerie::RenderHooks hooks;
        hooks.note = [&notes](const std::string& text) { notes.push_back(text); };
        session.emplace(job, *plan, std::move(hooks));
        session->load();
        midiBefore = session->renderer().midiOut().size();
        startFrame = session->renderer().framesRendered();
    }
    const auto channels = static_cast<py::ssize_t>(session->outputChannels());
    py::array_t<float> out({channels, static_cast<py::ssize_t>(plan->frames)});
    float* base = out.mutable_data();
    const std::uint64_t frames = plan->frames;
    std::uint64_t written = 0;
    job.sink = [base, frames, &written](const float* const* c, int count, std::size_t n) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, frames - written));
        for (int k = 0; k < count; ++k) std::memcpy(base + k * frames + written, c[k], take * sizeof(float));
        written += take;
    };
    aerie::RenderResult result;
    {
        py::gil_scoped_release release;
        try {
            result = session->render();
            session->finish();
        } catch (...) {
            chain.stop();
            throw;
        }
    }
    if (!notes.empty()) {
        py::object warn = py::module_::import("warnings").attr("warn");
        for (const std::string& n : notes) warn(n, errorClass("AerieWarning"), 2);
    }
    if (!call.returnMidi) return out;
    py::list midi;
    const auto& sent = session->renderer().midiOut();
    startFrame += static_cast<std::uint64_t>(result.latencyRemoved);
    for (std::size_t i = midiBefore; i < sent.size(); ++i) {
        const aerie::CapturedMidi& m = sent[i];
        if (m.stage + 1 != chain.modules.size()) continue;
        const double seconds = static_cast<double>(m.frame - std::min(m.frame, startFrame)) / first.sampleRate();
        midi.append(py::make_tuple(py::bytes(reinterpret_cast<const char*>(m.bytes), 3), seconds));
    }
    return py::make_tuple(std::move(out), midi);
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
    std::sscanf(result.message("numbers").c_str(), "%lld %lld %lld %lld %lld %lld %lld %lld %lld", &n[0], &n[1], &n[2], &n[3],
                &n[4], &n[5], &n[6], &n[7], &n[8]);
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

    py::class_<Plugin>(m, "Plugin")
        .def(py::init<const std::string&, double, std::int32_t>(), py::arg("path"), py::arg("sample_rate"),
             py::arg("block_size"))
        .def("close", &Plugin::close)
        .def_property_readonly("closed", &Plugin::closed)
        .def_property_readonly("path", &Plugin::path)
        .def_property_readonly("sample_rate", &Plugin::sampleRate)
        .def_property_readonly("block_size", &Plugin::blockSize)
        .def("identity",
             [](Plugin& p) {
                 Plugin::Use use(p);
                 aerie::Instance& i = p.instance();
                 py::dict d;
                 d["name"] = p.loaded().name;
                 d["vendor"] = p.loaded().vendor;
                 d["product"] = i.product();
                 d["version"] = i.vendorVersion();
                 d["unique_id"] = i.uniqueId();
                 d["category"] = aerie::categoryName(i.category());
                 d["is_instrument"] = i.isSynth() || i.category() == kPlugCategSynth;
                 d["num_inputs"] = i.numInputs();
                 d["num_outputs"] = i.numOutputs();
                 return d;
             })
        .def_property_readonly("latency",
                               [](Plugin& p) {
                                   Plugin::Use use(p);
                                   return p.instance().initialDelay();
                               })
        .def_property_readonly("tail",
                               [](Plugin& p) {
                                   Plugin::Use use(p);
                                   return p.instance().tailSize();
                               })
        .def("parameter_names",
             [](Plugin& p) {
                 Plugin::Use use(p);
                 std::vector<std::string> names;
                 for (std::int32_t k = 0; k < p.instance().numParameters(); ++k) names.push_back(p.instance().parameterName(k));
                 return names;
             })
        .def("parameter",
             [](Plugin& p, std::int32_t index) {
                 Plugin::Use use(p);
                 const aerie::ParameterInfo i = p.instance().parameter(index);
                 return py::make_tuple(i.name, i.value, i.display, i.label);
             })
        .def("set_parameter",
             [](Plugin& p, std::int32_t index, float value) {
                 Plugin::Use use(p);
                 p.instance().setParameterValue(index, value);
             })
        .def("program_names",
             [](Plugin& p) {
                 Plugin::Use use(p);
                 std::vector<std::string> names;
                 for (std::int32_t k = 0; k < p.instance().numPrograms(); ++k) names.push_back(p.instance().programName(k));
                 return names;
             })
        .def("program",
             [](Plugin& p) {
                 Plugin::Use use(p);
                 return p.instance().program();
             })
        .def("set_program",
             [](Plugin& p, std::int32_t index) {
                 Plugin::Use use(p);
                 p.instance().setProgram(index);
             })
        .def("get_state",
             [](Plugin& p, bool bank) {
                 Plugin::Use use(p);
                 const std::vector<unsigned char> bytes = aerie::serializePreset(aerie::capturePreset(p.instance(), bank));
                 return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
             })
        .def("set_state",
             [](Plugin& p, const py::bytes& data) {
                 Plugin::Use use(p);
                 const std::string s = data;
                 const aerie::PresetFile preset = aerie::parsePreset(std::vector<unsigned char>(s.begin(), s.end()));
                 p.endStream();
                 return aerie::applyPreset(p.instance(), preset, false);
             })
        .def("load_preset",
             [](Plugin& p, const std::string& path) {
                 Plugin::Use use(p);
                 const aerie::PresetFile preset = aerie::readPresetFile(path);
                 p.endStream();
                 try {
                     return aerie::applyPreset(p.instance(), preset, false);
                 } catch (const aerie::PresetError& e) {
                     throw aerie::PresetError(path + ": " + e.what());
                 }
             })
        .def("render", [](Plugin& p, const RenderCall& call) { return render({&p}, p.chain(), call); })
        .def("save_preset",
             [](Plugin& p, const std::string& path, bool bank) {
                 Plugin::Use use(p);
                 aerie::writePresetFile(path, aerie::capturePreset(p.instance(), bank));
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
                c->chain.modules.push_back(&p.loaded());
            }
            if (c->plugins.empty()) throw aerie::HostError(aerie::ErrorKind::BadArgument, "a chain needs at least one plug-in");
            return c;
        }))
        .def("render", [](Chain& c, const RenderCall& call) { return render(c.plugins, c.chain, call); });

#if defined(AERIE_PYTHON_VALIDATE)
    defineValidate(m);
#endif
    m.def("resolve", &resolve, py::arg("name_or_path"));
    m.def("probe", &probeInChild, py::arg("path"), py::arg("timeout") = 10.0);
    m.def("find_modules", [](std::optional<std::vector<std::string>> folders) {
        return aerie::findModules(folders ? *folders : aerie::pluginFolders());
    });
}
