// _aerie.IsolatedPlugin: a plug-in in a child process (aerie's Worker),
// with the methods of _aerie.Plugin, so that the package's Plugin takes
// either. The child holds a Core and serves one request per method; a
// render's audio goes through the worker's shared buffers (in chunks when a
// call holds more samples than they do), never through the pipe.
//
// The child is a fork of this process: it runs only the C++ below and never
// touches Python (the fork copied one thread, and the GIL may be another's).
// The module is built for Linux only, so the fork is the only path.
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <type_traits>

#include <aerie/io/preset.h>
#include <aerie/worker.h>

#include "module.h"

namespace pyaerie {

namespace {

// Samples per chunk through the shared buffers (1 MiB each way).
constexpr std::int32_t kChunk = 1 << 18;

// A request: what is asked, then its arguments.
enum class Op : unsigned char {
    Open,
    Latency,
    Tail,
    ParameterNames,
    Parameter,
    SetParameter,
    ProgramNames,
    Program,
    SetProgram,
    GetState,
    SetState,
    LoadPreset,
    SavePreset,
    Input,   // a chunk of a render's input
    Render,  // the last chunk of the input, and the render; the output's first chunk back
    Output,  // a further chunk of the output
    Close,
};

// A reply's first byte.
enum class Status : unsigned char { Ok, PresetError };

// Values in a message: numbers as their bytes (both ends are one program),
// strings and lists with their length first.
class Writer {
public:
    template <class T>
    void put(const T& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        const auto* p = reinterpret_cast<const unsigned char*>(&v);
        bytes.insert(bytes.end(), p, p + sizeof v);
    }
    void put(const std::string& s) {
        put<std::uint64_t>(s.size());
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    void put(const std::vector<unsigned char>& s) {
        put<std::uint64_t>(s.size());
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    void put(const std::vector<std::string>& list) {
        put<std::uint64_t>(list.size());
        for (const std::string& s : list) put(s);
    }
    std::vector<unsigned char> bytes;
};

class Reader {
public:
    explicit Reader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}
    template <class T>
    T get() {
        static_assert(std::is_trivially_copyable_v<T>);
        T v;
        std::memcpy(&v, take(sizeof v), sizeof v);
        return v;
    }
    std::string text() {
        const auto n = get<std::uint64_t>();
        const char* p = reinterpret_cast<const char*>(take(n));
        return std::string(p, p + n);
    }
    std::vector<unsigned char> data() {
        const auto n = get<std::uint64_t>();
        const unsigned char* p = take(n);
        return std::vector<unsigned char>(p, p + n);
    }
    std::vector<std::string> texts() {
        std::vector<std::string> list(get<std::uint64_t>());
        for (std::string& s : list) s = text();
        return list;
    }

private:
    const unsigned char* take(std::uint64_t n) {
        if (n > bytes_.size() - pos_) throw aerie::HostError(aerie::ErrorKind::Other, "a message from the worker is cut short");
        const unsigned char* p = bytes_.data() + pos_;
        pos_ += n;
        return p;
    }
    const std::vector<unsigned char>& bytes_;
    std::size_t pos_ = 0;
};

void putArgs(Writer& w, const CallArgs& a) {
    w.put(a.frames);
    w.put(a.untilEvents);
    w.put(a.tailSeconds);
    w.put<std::uint64_t>(a.messages.size());
    for (const auto& [bytes, seconds] : a.messages) {
        w.put(bytes);
        w.put(seconds);
    }
    w.put(a.midiFile);
    w.put(a.bpm.has_value());
    w.put(a.bpm.value_or(0.0));
    w.put(a.signature.has_value());
    w.put(a.signature ? a.signature->first : 0);
    w.put(a.signature ? a.signature->second : 0);
    w.put<std::uint64_t>(a.automation.size());
    for (const auto& [module, index, time, unit, value] : a.automation) {
        w.put(module);
        w.put(index);
        w.put(time);
        w.put(unit);
        w.put(value);
    }
    w.put(a.compensateLatency);
    w.put(a.reset);
    w.put(a.returnMidi);
}

CallArgs getArgs(Reader& r) {
    CallArgs a;
    a.frames = r.get<std::uint64_t>();
    a.untilEvents = r.get<bool>();
    a.tailSeconds = r.get<double>();
    a.messages.resize(r.get<std::uint64_t>());
    for (auto& [bytes, seconds] : a.messages) {
        bytes = r.text();
        seconds = r.get<double>();
    }
    a.midiFile = r.text();
    const bool hasBpm = r.get<bool>();
    const auto bpm = r.get<double>();
    if (hasBpm) a.bpm = bpm;
    const bool hasSignature = r.get<bool>();
    const auto numerator = r.get<int>();
    const auto denominator = r.get<int>();
    if (hasSignature) a.signature = std::pair<int, int>(numerator, denominator);
    a.automation.resize(r.get<std::uint64_t>());
    for (auto& [module, index, time, unit, value] : a.automation) {
        module = r.get<std::size_t>();
        index = r.get<std::int32_t>();
        time = r.get<double>();
        unit = r.text();
        value = r.get<float>();
    }
    a.compensateLatency = r.get<bool>();
    a.reset = r.get<bool>();
    a.returnMidi = r.get<bool>();
    return a;
}

// ---- The child ----

// What the child keeps between requests.
struct Child {
    std::unique_ptr<Core> core;
    std::vector<float> input;   // a render's input, channel after channel
    std::vector<float> output;  // the last render's output, channel after channel
};

Core& opened(Child& c) {
    if (!c.core) throw aerie::HostError(aerie::ErrorKind::WrongState, "the worker holds no plug-in");
    return *c.core;
}

// Copies up to one chunk of the output from `offset` into the shared buffer.
void sendOutput(const Child& c, aerie::WorkerCall& call, std::uint64_t offset) {
    const auto n = std::min<std::uint64_t>(c.output.size() - std::min<std::uint64_t>(offset, c.output.size()),
                                           static_cast<std::uint64_t>(call.frames));
    if (n > 0) std::memcpy(call.outputs[0], c.output.data() + offset, n * sizeof(float));
}

void serveRequest(Child& c, aerie::WorkerCall& call, Reader& r, Writer& w) {
    auto& rep = call.reporter;
    switch (r.get<Op>()) {
    case Op::Open: {
        const std::string path = r.text();
        const auto rate = r.get<double>();
        const auto block = r.get<std::int32_t>();
        c.core = std::make_unique<Core>(path, rate, block, [&rep](const std::string& s) { rep.step(s); });
        rep.step("asking for its identity");
        const Identity i = c.core->identity();
        for (const std::string* s : {&i.name, &i.vendor, &i.product, &i.category, &c.core->path()}) w.put(*s);
        for (std::int32_t n : {i.version, i.uniqueId, i.numInputs, i.numOutputs, c.core->blockSize()}) w.put(n);
        w.put(i.isInstrument);
        w.put(c.core->sampleRate());
        return;
    }
    case Op::Latency:
        rep.step("asking for its latency");
        w.put(opened(c).latency());
        return;
    case Op::Tail:
        rep.step("asking for its tail");
        w.put(opened(c).tail());
        return;
    case Op::ParameterNames:
        rep.step("asking for its parameter names");
        w.put(opened(c).parameterNames());
        return;
    case Op::Parameter: {
        const auto index = r.get<std::int32_t>();
        rep.step("asking for parameter " + std::to_string(index));
        const aerie::ParameterInfo i = opened(c).parameter(index);
        w.put(i.name);
        w.put(i.value);
        w.put(i.display);
        w.put(i.label);
        return;
    }
    case Op::SetParameter: {
        const auto index = r.get<std::int32_t>();
        const auto value = r.get<float>();
        rep.step("setting parameter " + std::to_string(index));
        opened(c).setParameter(index, value);
        return;
    }
    case Op::ProgramNames:
        rep.step("asking for its program names");
        w.put(opened(c).programNames());
        return;
    case Op::Program:
        rep.step("asking for its program");
        w.put(opened(c).program());
        return;
    case Op::SetProgram: {
        const auto index = r.get<std::int32_t>();
        rep.step("setting program " + std::to_string(index));
        opened(c).setProgram(index);
        return;
    }
    case Op::GetState: {
        const bool bank = r.get<bool>();
        rep.step("saving its state");
        w.put(opened(c).state(bank));
        return;
    }
    case Op::SetState: {
        const std::vector<unsigned char> bytes = r.data();
        rep.step("loading a state");
        w.put(opened(c).setState(bytes));
        return;
    }
    case Op::LoadPreset: {
        const std::string path = r.text();
        rep.step("loading the preset " + path);
        w.put(opened(c).loadPreset(path));
        return;
    }
    case Op::SavePreset: {
        const std::string path = r.text();
        const bool bank = r.get<bool>();
        rep.step("saving the preset " + path);
        opened(c).savePreset(path, bank);
        return;
    }
    case Op::Input: {
        const auto offset = r.get<std::uint64_t>();
        const auto total = r.get<std::uint64_t>();
        const auto n = std::min<std::uint64_t>(r.get<std::uint64_t>(), static_cast<std::uint64_t>(call.frames));
        if (offset == 0) {
            c.input.clear();
            c.input.reserve(total);
        }
        c.input.insert(c.input.end(), call.inputs[0], call.inputs[0] + n);
        return;
    }
    case Op::Render: {
        const CallArgs args = getArgs(r);
        const auto channels = r.get<std::int32_t>();
        const auto frames = r.get<std::uint64_t>();
        const auto n = std::min<std::uint64_t>(r.get<std::uint64_t>(), static_cast<std::uint64_t>(call.frames));
        if (channels * frames == n) c.input.clear();  // all of it in this request
        c.input.insert(c.input.end(), call.inputs[0], call.inputs[0] + n);
        if (c.input.size() != channels * frames) {
            throw aerie::HostError(aerie::ErrorKind::Other, "the worker got a render's input short");
        }
        std::vector<const float*> inputs;
        inputs.reserve(static_cast<std::size_t>(channels));
        for (std::int32_t k = 0; k < channels; ++k) inputs.push_back(c.input.data() + k * frames);
        Core& core = opened(c);
        int outChannels = 0;
        const RenderedCall done = renderCall(
            core.chain(), core.sampleRate(), core.blockSize(), args, {inputs.data(), channels, frames},
            [&c, &outChannels](int count, std::uint64_t length) {
                outChannels = count;
                c.output.assign(static_cast<std::size_t>(count) * length, 0.0f);
                return c.output.data();
            },
            &rep);
        c.input.clear();
        w.put<std::int32_t>(outChannels);
        w.put<std::uint64_t>(outChannels == 0 ? 0 : c.output.size() / static_cast<std::size_t>(outChannels));
        w.put(done.notes);
        w.put<std::uint64_t>(done.midi.size());
        for (const auto& [bytes, seconds] : done.midi) {
            w.put(bytes);
            w.put(seconds);
        }
        sendOutput(c, call, 0);
        return;
    }
    case Op::Output:
        sendOutput(c, call, r.get<std::uint64_t>());
        return;
    case Op::Close:
        rep.step("closing it");
        if (c.core) c.core->close();
        return;
    }
    throw aerie::HostError(aerie::ErrorKind::Other, "the worker got a request it does not know");
}

std::vector<unsigned char> serve(Child& c, aerie::WorkerCall& call) {
    Reader r(call.request);
    Writer w;
    w.put(Status::Ok);
    try {
        serveRequest(c, call, r, w);
    } catch (const aerie::PresetError& e) {
        // Its own kind crosses the pipe; the class (BadPreset) goes in the reply.
        Writer f;
        f.put(Status::PresetError);
        f.put(std::string(e.what()));
        return f.bytes;
    }
    return w.bytes;
}

// ---- The parent ----

class IsolatedPlugin {
public:
    IsolatedPlugin(const std::string& path, double sampleRate, std::int32_t blockSize, double timeout) {
        checkRateAndBlock(sampleRate, blockSize);
        if (!(timeout >= 0.0 && timeout <= 1e6)) {
            throw aerie::HostError(aerie::ErrorKind::BadArgument, "timeout must be seconds from 0 (0: none)");
        }
        aerie::WorkerOptions options;
        options.timeoutSeconds = timeout;
        options.inputChannels = 1;
        options.outputChannels = 1;
        options.frames = kChunk;
        auto child = std::make_shared<Child>();
        Writer open;
        open.put(Op::Open);
        open.put(path);
        open.put(sampleRate);
        open.put(blockSize);
        std::vector<unsigned char> reply;
        {
            py::gil_scoped_release release;
            worker_ = std::make_unique<aerie::Worker>([child](aerie::WorkerCall& call) { return serve(*child, call); },
                                                      options);
            reply = send(open.bytes);
        }
        Reader r(reply);
        r.get<Status>();
        for (std::string* s : {&identity_.name, &identity_.vendor, &identity_.product, &identity_.category, &path_}) *s = r.text();
        for (std::int32_t* n : {&identity_.version, &identity_.uniqueId, &identity_.numInputs, &identity_.numOutputs, &block_}) {
            *n = r.get<std::int32_t>();
        }
        identity_.isInstrument = r.get<bool>();
        rate_ = r.get<std::uint32_t>();
    }
    ~IsolatedPlugin() {
        try {
            py::gil_scoped_release release;
            worker_.reset();
        } catch (...) {  // nothing may leave a destructor; the child ends with its pipe
        }
    }

    // One call at a time, and none once closed.
    class Use {
    public:
        explicit Use(IsolatedPlugin& p) : p_(p) {
            if (p.busy_.exchange(true)) raise("PluginBusy", "the plug-in " + p.identity_.name + " is in use by another thread");
            if (p.closed_) {
                p.busy_ = false;
                raise("WrongState", "the plug-in " + p.identity_.name + " is closed");
            }
        }
        ~Use() { p_.busy_ = false; }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        IsolatedPlugin& p_;
    };

    // Sends a request (an Op and its arguments) as the plug-in's one user,
    // without the GIL while the child works, and answers the reply (its
    // status first: see replyOf). [GIL held]
    template <class... Args>
    std::vector<unsigned char> request(Op op, const Args&... args) {
        Use use(*this);
        Writer w;
        w.put(op);
        (w.put(args), ...);
        py::gil_scoped_release release;
        return send(w.bytes);
    }

    void close() {
        if (closed_) return;
        Use use(*this);
        closed_ = true;
        py::gil_scoped_release release;
        if (worker_->alive()) {
            Writer w;
            w.put(Op::Close);
            send(w.bytes);
        }
        worker_.reset();
    }

    py::object render(const RenderCall& call) {
        Use use(*this);
        const float* in = nullptr;
        std::int32_t channels = 0;
        std::uint64_t frames = 0;
        if (call.audio) {
            in = call.audio->data();
            channels = static_cast<std::int32_t>(call.audio->shape(0));
            frames = static_cast<std::uint64_t>(call.audio->shape(1));
        }
        const std::uint64_t total = static_cast<std::uint64_t>(channels) * frames;
        const std::uint64_t chunk = static_cast<std::uint64_t>(worker_->frames());
        std::vector<unsigned char> reply;
        {
            py::gil_scoped_release release;
            std::uint64_t sent = 0;
            for (; total - sent > chunk; sent += chunk) {
                std::memcpy(worker_->inputs()[0], in + sent, chunk * sizeof(float));
                Writer w;
                w.put(Op::Input);
                w.put(sent);
                w.put(total);
                w.put(chunk);
                send(w.bytes);
            }
            if (total > sent) std::memcpy(worker_->inputs()[0], in + sent, (total - sent) * sizeof(float));
            Writer w;
            w.put(Op::Render);
            putArgs(w, call);
            w.put(channels);
            w.put(frames);
            w.put(total - sent);
            reply = send(w.bytes);
        }
        Reader r(reply);
        r.get<Status>();
        const auto outChannels = r.get<std::int32_t>();
        const auto outFrames = r.get<std::uint64_t>();
        RenderedCall done;
        done.notes = r.texts();
        done.midi.resize(r.get<std::uint64_t>());
        for (auto& [bytes, seconds] : done.midi) {
            bytes = r.text();
            seconds = r.get<double>();
        }
        py::array_t<float> out(std::vector<py::ssize_t>{outChannels, static_cast<py::ssize_t>(outFrames)});
        float* dst = out.mutable_data();
        {
            py::gil_scoped_release release;
            const std::uint64_t outTotal = static_cast<std::uint64_t>(outChannels) * outFrames;
            for (std::uint64_t got = 0; got < outTotal; got += chunk) {
                if (got > 0) {
                    Writer w;
                    w.put(Op::Output);
                    w.put(got);
                    send(w.bytes);
                }
                std::memcpy(dst + got, worker_->outputs()[0], std::min(chunk, outTotal - got) * sizeof(float));
            }
        }
        return renderResult(std::move(out), done, call.returnMidi);
    }

    const Identity& identity() const { return identity_; }
    const std::string& path() const { return path_; }
    std::uint32_t sampleRate() const { return rate_; }
    std::int32_t blockSize() const { return block_; }
    bool closed() const { return closed_ || !worker_->alive(); }

private:
    // One request and its reply; a PresetError in the child raised again
    // here. [GIL released]
    std::vector<unsigned char> send(const std::vector<unsigned char>& request) {
        std::vector<unsigned char> reply = worker_->call(request);
        Reader r(reply);
        if (r.get<Status>() == Status::PresetError) throw aerie::PresetError(r.text());
        return reply;
    }

    std::unique_ptr<aerie::Worker> worker_;
    Identity identity_;
    std::string path_;
    std::uint32_t rate_ = 0;
    std::int32_t block_ = 0;
    bool closed_ = false;
    std::atomic<bool> busy_{false};
};

// A reader of a reply, past its status.
Reader replyOf(const std::vector<unsigned char>& bytes) {
    Reader r(bytes);
    r.get<Status>();
    return r;
}

}  // namespace

void defineIsolated(py::module_& m) {
    using P = IsolatedPlugin;
    py::class_<P>(m, "IsolatedPlugin", "A plug-in in a child process: the methods of Plugin.")
        .def(py::init<const std::string&, double, std::int32_t, double>(), py::arg("path"), py::arg("sample_rate"),
             py::arg("block_size"), py::arg("timeout"))
        .def("close", &P::close)
        .def_property_readonly("closed", &P::closed)
        .def_property_readonly("path", &P::path)
        .def_property_readonly("sample_rate", &P::sampleRate)
        .def_property_readonly("block_size", &P::blockSize)
        .def("identity",
             [](P& p) {
                 P::Use use(p);
                 return identityDict(p.identity());
             })
        .def_property_readonly("latency",
                               [](P& p) {
                                   const auto reply = p.request(Op::Latency);
                                   return replyOf(reply).get<std::int32_t>();
                               })
        .def_property_readonly("tail",
                               [](P& p) {
                                   const auto reply = p.request(Op::Tail);
                                   return replyOf(reply).get<std::int32_t>();
                               })
        .def("parameter_names",
             [](P& p) {
                 const auto reply = p.request(Op::ParameterNames);
                 return replyOf(reply).texts();
             })
        .def("parameter",
             [](P& p, std::int32_t index) {
                 const auto reply = p.request(Op::Parameter, index);
                 Reader r = replyOf(reply);
                 std::string name = r.text();
                 const auto value = r.get<float>();
                 std::string display = r.text();
                 return py::make_tuple(name, value, display, r.text());
             })
        .def("set_parameter", [](P& p, std::int32_t index, float value) { p.request(Op::SetParameter, index, value); })
        .def("program_names",
             [](P& p) {
                 const auto reply = p.request(Op::ProgramNames);
                 return replyOf(reply).texts();
             })
        .def("program",
             [](P& p) {
                 const auto reply = p.request(Op::Program);
                 return replyOf(reply).get<std::int32_t>();
             })
        .def("set_program", [](P& p, std::int32_t index) { p.request(Op::SetProgram, index); })
        .def("get_state",
             [](P& p, bool bank) {
                 const auto reply = p.request(Op::GetState, bank);
                 const std::vector<unsigned char> bytes = replyOf(reply).data();
                 return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
             })
        .def("set_state",
             [](P& p, const py::bytes& data) {
                 const std::string s = data;
                 const auto reply = p.request(Op::SetState, std::vector<unsigned char>(s.begin(), s.end()));
                 return replyOf(reply).texts();
             })
        .def("load_preset",
             [](P& p, const std::string& path) {
                 const auto reply = p.request(Op::LoadPreset, path);
                 return replyOf(reply).texts();
             })
        .def("save_preset", [](P& p, const std::string& path, bool bank) { p.request(Op::SavePreset, path, bank); })
        .def("render", &P::render);
}

}  // namespace pyaerie
