// The editor: opened into a real window, idled, closed and opened again, and
// opened while another thread renders, as hosts do when the user opens a
// plug-in's window during playback.
//
// On Linux the window comes from the X server of DISPLAY through libX11,
// loaded at run time: vst2host itself needs no display libraries. On
// Windows it is a window of this process.
#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

#if !defined(_WIN32)
#include <cstdlib>
#include <dlfcn.h>
#endif

namespace validate {

namespace {

// The rectangle effEditGetRect answers the address of.
struct EditorRect {
    std::int16_t top, left, bottom, right;
};
static_assert(sizeof(EditorRect) == 8);

#if defined(_WIN32)

class Window {
public:
    Window() = default;
    ~Window() {
        if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    // Empty when there is a window; else why not.
    std::string open(int width, int height) {
        static const char* kClass = "vst2host-validate-editor";
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kClass;
        RegisterClassA(&wc);
        hwnd_ = CreateWindowExA(0, kClass, "vst2host validate", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, width, height,
                                nullptr, nullptr, wc.hInstance, nullptr);
        if (hwnd_ == nullptr) return "no window could be created (Windows error " + std::to_string(GetLastError()) + ")";
        return "";
    }
    void* handle() const { return hwnd_; }
    void pump() {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    int errors() const { return 0; }

private:
    HWND hwnd_ = nullptr;
};

#else

// The little of libX11 the test needs, loaded at run time.
class Window {
public:
    Window() = default;
    ~Window() {
        if (display_ != nullptr) {
            if (window_ != 0) destroy_(display_, window_);
            closeDisplay_(display_);
        }
        // libX11 stays loaded: the plug-in may still hold its functions.
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    std::string open(int width, int height) {
        const char* name = std::getenv("DISPLAY");
        if (name == nullptr || *name == '\0') return "no display: DISPLAY is not set";
        void* x = dlopen("libX11.so.6", RTLD_NOW | RTLD_GLOBAL);
        if (x == nullptr) return "no display: libX11.so.6 cannot be loaded";
        auto sym = [x](auto& f, const char* n) {
            f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(dlsym(x, n));
            return f != nullptr;
        };
        if (!sym(openDisplay_, "XOpenDisplay") || !sym(closeDisplay_, "XCloseDisplay") ||
            !sym(defaultScreen_, "XDefaultScreen") || !sym(rootWindow_, "XRootWindow") ||
            !sym(createWindow_, "XCreateSimpleWindow") || !sym(map_, "XMapWindow") || !sym(sync_, "XSync") ||
            !sym(pending_, "XPending") || !sym(nextEvent_, "XNextEvent") || !sym(destroy_, "XDestroyWindow") ||
            !sym(setErrorHandler_, "XSetErrorHandler")) {
            return "no display: libX11.so.6 lacks a function the test needs";
        }
        display_ = openDisplay_(nullptr);
        if (display_ == nullptr) return std::string("no display: cannot connect to the X server at ") + name;
        setErrorHandler_(&Window::onError);
        const int screen = defaultScreen_(display_);
        window_ = createWindow_(display_, rootWindow_(display_, screen), 0, 0, static_cast<unsigned>(width),
                                static_cast<unsigned>(height), 0, 0, 0);
        map_(display_, window_);
        sync_(display_, 0);
        return "";
    }
    void* handle() const { return reinterpret_cast<void*>(window_); }
    void pump() {
        union {
            int type;
            long pad[24];
        } event;
        while (pending_(display_) > 0) nextEvent_(display_, &event);
    }
    int errors() const { return errorCount; }

private:
    static int onError(void*, void*) {
        ++errorCount;
        return 0;
    }
    static inline std::atomic<int> errorCount{0};

    void* display_ = nullptr;
    unsigned long window_ = 0;
    void* (*openDisplay_)(const char*) = nullptr;
    int (*closeDisplay_)(void*) = nullptr;
    int (*defaultScreen_)(void*) = nullptr;
    unsigned long (*rootWindow_)(void*, int) = nullptr;
    unsigned long (*createWindow_)(void*, unsigned long, int, int, unsigned, unsigned, unsigned, unsigned long,
                                   unsigned long) = nullptr;
    int (*map_)(void*, unsigned long) = nullptr;
    int (*sync_)(void*, int) = nullptr;
    int (*pending_)(void*) = nullptr;
    int (*nextEvent_)(void*, void*) = nullptr;
    int (*destroy_)(void*, unsigned long) = nullptr;
    int (*(*setErrorHandler_)(int (*)(void*, void*)))(void*, void*) = nullptr;
};

#endif

// The editor's rectangle, checked; false when it is not sane.
bool checkRect(Context& ctx, Plug& p, const char* when, bool required) {
    ctx.step(std::string("asking the editor's size (effEditGetRect) ") + when);
    EditorRect* rect = nullptr;
    p.dispatch(effEditGetRect, 0, 0, &rect);
    if (rect == nullptr) {
        if (required) ctx.warn(std::string("effEditGetRect gives no rectangle ") + when + "; hosts size the window by it");
        return !required;
    }
    const int w = rect->right - rect->left, h = rect->bottom - rect->top;
    if (w == 0 && h == 0) {
        // Some editors know their size only once open; hosts then size the window later.
        ctx.warn(std::string("effEditGetRect ") + when + " gives an empty rectangle (0 by 0)");
        return !required;
    }
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384) {
        ctx.fail(std::string("effEditGetRect ") + when + " gives top " + std::to_string(rect->top) + ", left " +
                 std::to_string(rect->left) + ", bottom " + std::to_string(rect->bottom) + ", right " +
                 std::to_string(rect->right) + ": " + std::to_string(w) + " by " + std::to_string(h) +
                 " is no window size");
        return false;
    }
    return true;
}

void idle(Context& ctx, Plug& p, Window& window, double seconds, const std::string& what) {
    ctx.step("idling the editor (effEditIdle) " + what);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        p.dispatch(effEditIdle);
        window.pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
}

}  // namespace

void testEditor(Context& ctx) {
    const float rate = 44100.0f;
    const std::int32_t block = 512;
    Plug p(ctx, rate, block);
    if (!(p.e->flags & effFlagsHasEditor)) ctx.skip("the plug-in has no editor (flag hasEditor)");
    // The display first: hosts show editors only where there is one, and
    // plug-ins may reach for it as soon as they are asked their size.
    Window window;
    const std::string why = window.open(640, 480);
    if (!why.empty()) ctx.skip(why);
    checkRect(ctx, p, "before the editor is open", false);
    const double idleSeconds = 2.0 * ctx.strictness() / kDefaultStrictness;
    for (int round = 1; round <= 2; ++round) {
        const std::string which = round == 1 ? "" : " again";
        ctx.step("opening the editor" + which + " (effEditOpen)");
        p.dispatch(effEditOpen, 0, 0, window.handle());
        window.pump();
        checkRect(ctx, p, "once the editor is open", true);
        idle(ctx, p, window, round == 1 ? idleSeconds : idleSeconds / 4, "for " + number(round == 1 ? idleSeconds : idleSeconds / 4) + " s");
        ctx.step("closing the editor" + which + " (effEditClose)");
        p.dispatch(effEditClose);
        window.pump();
    }
    // Opened while the audio thread renders.
    const Material m = materialFor(ctx, p, 2.0);
    Run run;
    run.where = renderWhere(rate, block) + " while the editor opens";
    run.budget = -1;
    {
        AudioThread audio(ctx, p, m, run);
        ctx.step("opening the editor while another thread renders (effEditOpen)");
        p.dispatch(effEditOpen, 0, 0, window.handle());
        idle(ctx, p, window, idleSeconds / 4, "while another thread renders");
        ctx.step("closing the editor while another thread renders (effEditClose)");
        p.dispatch(effEditClose);
        window.pump();
        audio.stop();
    }
    if (window.errors() > 0) {
        ctx.warn("the editor caused " + std::to_string(window.errors()) + " X protocol errors on the host's connection");
    }
}

const std::vector<TestDef>& editorTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"editor.window", "the editor opened into a real window, idled (2 s), closed, reopened, and opened while audio renders",
         "hosts open the editor into their own window, idle it, and open it during playback", 1, 0, testEditor},
    };
    return tests;
}

}  // namespace validate
