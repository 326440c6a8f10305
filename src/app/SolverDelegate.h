#pragma once

#include "platform/Color.h"
#include "platform/NetService.h"
#include "platform/OpenPanel.h"
#include "platform/UserDefaults.h"
#include "platform/Views.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quintarvel {

class FileHandle;
class HttpRequest;
class HttpResponse;
class HttpServer;
class Process;

// Where a solver finds and keeps its files. The standard set comes from the application
// globals; tests give their own folders.
struct SolverPaths {
    std::filesystem::path supportFolder;     // engine working folder, index files
    std::filesystem::path configurationFile; // the engine configuration file
    std::string temporaryFolder;             // ends in "/"
    std::filesystem::path enginesFolder;     // the engine programs

    static SolverPaths standard();
};

// The one solver object: the main window's log and controls, the solver status, the last
// status message and the calibration results of the last solve. Every request ends here.
//
// The log and status operations may be called from any thread and return at once. A status
// operation changes status and message at once, under the state lock, so a reader on any
// thread sees the pair it left; its log line and the controls follow in one block posted to
// the main queue, and blocks run in posting order. The results and the running task are
// guarded by the same lock. The window outlets are set once when the window loads and used
// on the main thread. Create it with std::make_shared: posted blocks keep it alive.
class SolverDelegate : public std::enable_shared_from_this<SolverDelegate> {
  public:
    explicit SolverDelegate(SolverPaths paths = SolverPaths::standard());
    virtual ~SolverDelegate();

    const SolverPaths &paths() const { return paths_; }

    // Outlets.
    std::shared_ptr<Window> window() const { return window_; }
    void setWindow(std::shared_ptr<Window> v) { window_ = std::move(v); }
    std::shared_ptr<TextView> logText() const { return logText_; }
    void setLogText(std::shared_ptr<TextView> v) { logText_ = std::move(v); }
    std::shared_ptr<Control> solveMenu() const { return solveMenu_; }
    void setSolveMenu(std::shared_ptr<Control> v) { solveMenu_ = std::move(v); }
    std::shared_ptr<Control> abortMenu() const { return abortMenu_; }
    void setAbortMenu(std::shared_ptr<Control> v) { abortMenu_ = std::move(v); }
    std::shared_ptr<Control> solveButton() const { return solveButton_; }
    void setSolveButton(std::shared_ptr<Control> v) { solveButton_ = std::move(v); }
    std::shared_ptr<Control> abortButton() const { return abortButton_; }
    void setAbortButton(std::shared_ptr<Control> v) { abortButton_ = std::move(v); }
    std::shared_ptr<CheckBox> removeFilesButton() const { return removeFilesButton_; }
    void setRemoveFilesButton(std::shared_ptr<CheckBox> v) { removeFilesButton_ = std::move(v); }
    std::shared_ptr<CheckBox> writeWCSHeadersButton() const { return writeWCSHeadersButton_; }
    void setWriteWCSHeadersButton(std::shared_ptr<CheckBox> v) {
        writeWCSHeadersButton_ = std::move(v);
    }

    // Guarded state.
    std::shared_ptr<Process> task() const;
    void setTask(std::shared_ptr<Process> v);
    std::string status() const;
    void setStatus(std::string v);
    std::string message() const;
    void setMessage(std::string v);
    std::optional<double> raCenter() const; // degrees
    void setRaCenter(std::optional<double> v);
    std::optional<double> decCenter() const; // degrees
    void setDecCenter(std::optional<double> v);
    std::optional<double> orientation() const; // degrees
    void setOrientation(std::optional<double> v);
    std::optional<double> pixelScale() const; // arcseconds per pixel
    void setPixelScale(std::optional<double> v);
    std::optional<long> parity() const; // 1 or 0
    void setParity(std::optional<long> v);

    // Status, message and results as one whole, read under one hold of the state lock: read
    // one by one, a request ending in between would pair its message with the status before.
    struct StatusReport {
        std::string status;
        std::string message;
        std::optional<double> raCenter, decCenter, orientation, pixelScale;
        std::optional<long> parity;
    };
    StatusReport statusReport() const;

    // Appends the message and a line feed to the log in the colour (the control text
    // colour when none), then scrolls to the end.
    virtual void log(const std::string &message, std::optional<Color> color = std::nullopt);
    // Status "done", solve controls on, abort controls off; a message is logged in green
    // and, without its line feeds, becomes `message`. Ends the request that claimed the
    // solver, if any.
    virtual void done(std::optional<std::string> message = std::nullopt);
    // Status "busy", solve controls off, abort controls on; a message is logged in orange.
    virtual void busy(std::optional<std::string> message = std::nullopt);
    // Status "failed", as `done`; a message is logged in red.
    virtual void failed(std::optional<std::string> message = std::nullopt);
    // The runner's own failure line. Inside a claimed request it is logged in red and becomes
    // `message`, but the status stays "busy": the request reports its own end right after,
    // and until then no other request may take the solver. Outside a request, `failed`.
    void runFailed(const std::string &message);
    // A failure that belongs to no request: logged in red; status "failed" and `message` only
    // when no request holds the solver (claimed, or "busy"), whose end is its own to report.
    void failedOutsideRequests(const std::string &message);

    // Runs the engine program named `program` from the engines folder to its end, on the
    // calling thread (never the main thread): working folder the support folder,
    // environment exactly "TMP" = the temporary folder, standard output and error on one
    // pipe. Logs the command line and every output line, takes the calibration results
    // from result lines, and writes every line to `forwardHandle` when given. Throws
    // EngineRunError when the program cannot be started or ends with a non-zero status.
    // A forward handle with a write idle limit whose writes gave up (its reader stopped
    // reading, or abort) ends the run: the program is terminated, and the run fails as
    // aborted unless the program failed otherwise.
    virtual void run(const std::string &program, const std::vector<std::string> &arguments,
                     FileHandle *forwardHandle = nullptr);

    // Solves the image on a task of the default global queue and returns at once; the task
    // keeps the solver alive. Does not test the status. See processImage.
    virtual void
    solveImage(const std::string &imagePath, std::optional<std::string> outputPath = std::nullopt,
               std::optional<std::vector<std::string>> image2xyOptions = std::nullopt,
               std::optional<std::vector<std::string>> solveFieldOptions = std::nullopt);
    // The solve pipeline, on the calling thread, which it blocks to the end: it rewrites the
    // engine configuration file, converts the image to FITS unless its path ends in ".fit"
    // or ".fits", runs image2xy and solve-field, and when a solution file appears, new-wcs
    // (only with an output path) and wcsinfo, whose result lines fill the results. Then the
    // working files of the solve (never the image) go to the Trash when `removeFilesButton`
    // is on, its state read by a synchronous call to the main queue; last comes "done" with
    // the time taken or "failed", so the solver is free only once its files are dealt with.
    // Belongs on a background thread, as solveImage runs it: it blocks for the whole solve
    // and waits for the main queue.
    void processImage(const std::string &imagePath, const std::optional<std::string> &outputPath,
                      const std::optional<std::vector<std::string>> &image2xyOptions,
                      const std::optional<std::vector<std::string>> &solveFieldOptions);

    // ---- Remote solving service (defined in src/service) --------------------------------
    // Where the HTTP service listens and the name it is announced under. The application
    // takes the defaults; tests bind a loopback address on port 0 under a name of their own.
    struct ServiceOptions {
        std::uint16_t port = 8080;
        bool forceIPv4 = false;
        std::optional<std::string> listenAddress; // numeric; none: every interface
        std::string bonjourName = "Quintarvel";
    };
    // Called once at launch: serves the HTTP API (GET "/", POST and PUT "/api/upload", GET
    // "/api/status") on a server the solver keeps, announces it by Bonjour and logs its port
    // ("Can't start HTTP server" when it cannot listen), then starts listenForIPCRequests on
    // a task of the default global queue, whatever became of the server.
    void startServices();
    void startServices(const ServiceOptions &options);
    // Ends what startServices began, for tests and an orderly shutdown (the application
    // itself never stops its services): waits for the pipe loop to finish the request it
    // serves and end, then stops the server, which withdraws the announcement and lets the
    // route handlers (and with them the solver) go. Safe to call when nothing runs.
    void stopServices();
    // The server startServices made, if any.
    std::shared_ptr<HttpServer> httpServer() const;

    // The route handlers; they run on the server's client tasks.
    HttpResponse handleUpload(const HttpRequest &request);
    HttpResponse handleUploadWithOptions(const HttpRequest &request);
    HttpResponse handleStatus(const HttpRequest &request);

    // Serves the named pipes "request" and "response" of the support folder, one client at
    // a time, blocking the calling thread until a pipe cannot be opened (or stopServices).
    void listenForIPCRequests();
    // How long the pipe loop waits on its clients. The application keeps the defaults; tests
    // shorten them. Read at each request.
    struct PipeLimits {
        // For the client of a whole request to open "response"; past it the answer is dropped.
        std::chrono::milliseconds readerGrace = std::chrono::seconds(5);
        // For a write to "response" to make progress, as for HTTP clients; past it the request
        // ends and its program is terminated.
        std::chrono::milliseconds writeIdleLimit = std::chrono::seconds(60);
    };
    void setPipeLimits(const PipeLimits &limits);

    // The outcome of the Bonjour announcement; only log lines, so any thread will do.
    void netServiceDidPublish(NetService &service);
    void netServiceDidNotPublish(NetService &service,
                                 const NetServiceDelegate::ErrorDictionary &errorDict);

    // The busy check of a request and its change to "busy" in one step: unless the solver is
    // busy or claimed, sets status "busy" and `message` together, under the state lock, and
    // logs the message in orange as busy() does. Tells whether this caller took the solver.
    // Two requests arriving together so never both start a solve, and no reader ever sees
    // "busy" beside the previous request's message. The claim lasts until done() or
    // failed(); every path after a successful claim must reach one of them.
    bool claimSolver(const std::string &message);

    // The panels of a manual request, made afresh for each one, and the user defaults that
    // keep the check boxes (the standard ones unless set).
    void setOpenPanelFactory(OpenPanelFactory v) { openPanelFactory_ = std::move(v); }
    void setSavePanelFactory(SavePanelFactory v) { savePanelFactory_ = std::move(v); }
    std::shared_ptr<UserDefaults> userDefaults() const;
    void setUserDefaults(std::shared_ptr<UserDefaults> v) { userDefaults_ = std::move(v); }

    // Once the window is loaded: logs the program's version line, then the engine's first
    // line of "solve-field --version" (or fails with "Failed to execute Quintarvel.net
    // engine"). The engine is read on a global queue; the main thread waits for its line at
    // most `engineVersionWait`, so a hung engine never holds up the window. An answer that
    // comes later is only logged when it comes (the failure in red): by then a request may
    // hold the solver, and its status is not the engine's to change.
    void awakeFromNib();
    static constexpr std::chrono::milliseconds engineVersionWait{3000};

    // Window actions, on the main thread; the sender is not read.
    // Asks for an image with an open panel on the window, then starts a manual request.
    void solve(const void *sender = nullptr);
    // Terminates the running engine program, if any, and gives up a write of its output
    // that waits for a reader who stopped reading.
    void abort(const void *sender = nullptr);
    // restoreState.
    void show(const void *sender = nullptr);
    // Stores both check boxes under "removeCreatedFiles" and "writeWCSHeaders".
    void saveState(const void *sender = nullptr);
    // Sets both check boxes from the user defaults and brings the window to the front.
    void restoreState();
    // The image panel's completion: marks the solver busy and solves the image, first asking
    // for the output file with a save panel when "writeWCSHeaders" is stored as true.
    void manualRequestChosen(int response, const OpenPanel &panel);
    // The output panel's completion: solves with the output path, or ends the request (status
    // "failed", "No output file chosen") when the panel gave no file.
    void outputFileChosen(int response, const SavePanel &panel,
                          const std::filesystem::path &imageURL);

  private:
    void appendLogLine(const std::string &line, const Color &color); // main thread
    // Sets status and message under the state lock, and in the same step posts the log line
    // and the controls, so the blocks land in the order of the changes. `endsClaim`: done and
    // failed end the claiming request.
    void changeStatus(std::optional<std::string> message, const Color &color, const char *status,
                      bool solveEnabled, bool endsClaim);
    // changeStatus with the state lock held.
    void applyStatus(std::optional<std::string> message, const Color &color, const char *status,
                     bool solveEnabled, bool endsClaim);
    // Posts the log line and the controls' states; state lock held.
    void postStatusChange(std::optional<std::string> message, const Color &color,
                          std::optional<bool> solveEnabled);

    const SolverPaths paths_;

    std::shared_ptr<Window> window_;
    std::shared_ptr<TextView> logText_;
    std::shared_ptr<Control> solveMenu_;
    std::shared_ptr<Control> abortMenu_;
    std::shared_ptr<Control> solveButton_;
    std::shared_ptr<Control> abortButton_;
    std::shared_ptr<CheckBox> removeFilesButton_;
    std::shared_ptr<CheckBox> writeWCSHeadersButton_;

    OpenPanelFactory openPanelFactory_;
    SavePanelFactory savePanelFactory_;
    std::shared_ptr<UserDefaults> userDefaults_;

    mutable std::mutex stateMutex_; // guards every field below
    std::shared_ptr<Process> task_;
    FileHandle *taskForwardHandle_ = nullptr; // the forward handle of task_'s run, while it runs
    std::string status_ = "ready";
    std::string message_;
    bool claimed_ = false; // a request took the solver by claimSolver and has not ended yet
    std::optional<double> raCenter_;
    std::optional<double> decCenter_;
    std::optional<double> orientation_;
    std::optional<double> pixelScale_;
    std::optional<long> parity_;

    // The server, announcement and pipe-loop bookkeeping of the remote solving service.
    struct Services;
    Services &services();
    mutable std::mutex servicesMutex_; // guards services_, made on first use
    std::shared_ptr<Services> services_;
};

} // namespace quintarvel
