// Nimbrel: the application object. One message thread executes every control
// request in arrival order, so no two control actions ever run at the same time.
// "link" opens the environment (filter database, file status database, system
// black list) and starts the task table; "unlink" undoes all of it; "stop" does the
// same and ends the message thread.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "daemon/control_app.h"
#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "wire/object.h"

class Detector;
class SessionRoot;
class Task;
class Worker;

class Nimbrel {
public:
    // Fixed places in the task table; workers follow from kFirstWorker on.
    enum TaskIndex { kDetector = 0, kRecycleCleaner = 1, kSyncer = 2, kProgressSyncer = 3, kFirstWorker = 4 };

    // The parameters of "add_session".
    struct Session {
        uint64_t sess_id = 0;
        uint64_t view_id = 0;
        uint64_t node_id = 0;
        bool recursive = true;
        ustring config_path;
        ustring local_path;
        ustring remote_path;
        uint32_t create_time = 0;  // accepted, not used further
    };

    Nimbrel();
    ~Nimbrel();

    // Starts the message thread: kOk, kAlreadyRunning, or kNoThread when the thread
    // cannot be created.
    [[nodiscard]] AppResult run();
    // Queues the request and blocks until the message thread has answered it.
    // kOk, or kNotRunning when the message thread is not (or no longer) running.
    [[nodiscard]] AppResult send_message(const PObject& request, PObject& reply);
    [[nodiscard]] AppResult send_message(const PObject& request);
    // Queues an internal "stop" and joins the message thread.
    void kill();

    // Dispatches one request (message thread only).
    void handle_control(const PObject& request, PObject& reply);

    void do_link(const PObject& request, PObject& reply);
    void do_unlink();
    // True, or false with the cause in plain words in *why (when given).
    [[nodiscard]] bool init_env(std::string* why = nullptr);
    void destroy_env();
    [[nodiscard]] bool init_members();
    [[nodiscard]] bool init_tasks();
    void destroy_members();
    void destroy_tasks();
    void destroy_connections();
    void start_all();
    void stop_all();
    void get_status(const PObject& request, PObject& reply);

    // Session and connection actions.
    void pause(const PObject& request, PObject& reply);
    void resume(const PObject& request, PObject& reply);
    void add_session(const PObject& request, PObject& reply);
    void reload_session(const PObject& request, PObject& reply);
    void remove_session(const PObject& request, PObject& reply);
    void create_connections(const PObject& request, PObject& reply);
    void reload_connection(const PObject& request, PObject& reply);
    void unlink_connection(const PObject& request, PObject& reply);

    // Steps of the session actions (message thread).
    // True when registered; false with the cause in plain words in *why (when given).
    [[nodiscard]] bool create_registry_entry(const Session& session, bool do_merge, std::string* why = nullptr);
    // The session's private folders and an emptied working directory: true, or false.
    [[nodiscard]] bool create_session_environment(const SessionRoot& root, const ustring& config_path);
    // Queues the stored resume conditions not yet queued: true, or false when they
    // cannot be read.
    [[nodiscard]] bool load_resume_condition(uint64_t sess_id, const std::set<uint64_t>& already_queued = {});
    void reload_local_events(uint64_t sess_id);
    // True when removed; false with reply["error"] set when refused.
    bool remove_one_session(uint64_t sess_id, PObject& reply);
    void pauseRegistry(uint64_t sess_id);
    void resumeRegistry(uint64_t sess_id);
    // Returns once every worker busy with the session (0: any session) gave up its event.
    void drop_session(uint64_t sess_id);
    static bool is_dir(const ustring& path);

    // The task table; valid on the message thread (or while it is idle).
    bool is_linked() const { return linked; }
    unsigned get_task_count() const { return task_count; }
    Task* get_task(unsigned index) const { return index < task_count ? task[index] : nullptr; }
    Detector* get_detector() const;
    std::vector<Worker*> get_workers() const;

    Nimbrel(const Nimbrel&) = delete;
    Nimbrel& operator=(const Nimbrel&) = delete;

private:
    // One queued request. The sender owns every pointer; a record without a
    // result slot (the internal stop of kill()) has nobody waiting for it.
    struct msg_t {
        const PObject* msg = nullptr;
        PObject* result = nullptr;
        Mutex* mutex = nullptr;
        CondVar* cond = nullptr;
        // Set under *mutex when the reply is complete, so that a spurious wake-up of
        // the sender is not taken for the answer.
        bool* done = nullptr;
    };

    static void* run_thread(void* arg);
    void do_main_loop();
    static void answer(const msg_t& m);
    void append_session_status(PObject& reply);
    void append_connection_status(PObject& reply);
    void append_worker_status(PObject& reply);
    // "bytes_to_go" (queued transfers less what their workers moved), "bytes_per_second"
    // and, while both are known, "eta_seconds" of one session.
    void append_transfer_status(uint64_t sess_id, PObject& item);
    // Items not synchronised listed per session; past this only their number is given.
    static constexpr size_t kMaxListed = 100;
    bool require_linked(const char* action, PObject& reply);

    int app_running = 1;  // only the message thread reads and writes it
    Task** task = nullptr;
    unsigned task_count = 0;
    bool linked = false;

    Mutex msg_lock;
    std::deque<msg_t> msg_queue GUARDED_BY(msg_lock);
    CondVar msg_cond;
    pthread_t msg_thread{};
    bool thread_started GUARDED_BY(msg_lock) = false;
    bool thread_ended GUARDED_BY(msg_lock) = false;
    bool joined GUARDED_BY(msg_lock) = false;
};

// The application object as the process entry sees it.
class NimbrelControlApp : public ControlApp {
public:
    [[nodiscard]] AppResult run() override { return app.run(); }
    [[nodiscard]] AppResult send_message(const PObject& request, PObject& reply) override {
        return app.send_message(request, reply);
    }
    void kill() override { app.kill(); }

    static std::unique_ptr<ControlApp> Create();

private:
    Nimbrel app;
};
