// The kernel process of each workbook: started with the workbook id and the
// master's port, terminated, or killed and started afresh.
#ifdef __linux__
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>

#include "business_layer/relvane/connection/kernels.hpp"
#include "business_layer/relvane/execution/pending_calls.hpp"

namespace relvane {

namespace {

#ifdef __linux__
// Runs in the new kernel between fork and exec: the kernel is killed when the
// master goes, however the master ends and whatever the kernel's state (a
// stopped process dies of SIGKILL too). A master that ended before this ran is
// seen in the parent's id. `parent` is the master's pid, bound as __self__.
PyObject* die_with_master(PyObject* parent, PyObject*) {
  const long master = PyLong_AsLong(parent);
  if (master == -1 && PyErr_Occurred()) return nullptr;
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return PyErr_SetFromErrno(PyExc_OSError);
  if (getppid() != static_cast<pid_t>(master)) _exit(0);
  Py_RETURN_NONE;
}
PyMethodDef die_with_master_def = {"_die_with_master", die_with_master, METH_NOARGS, nullptr};

// The parent-death signal comes when the THREAD that forked the kernel ends, not
// only the process: kernels are forked by one thread kept for the life of the
// master, never by whichever thread happens to call.
py::object spawner() {
  static PyObject* executor = [] {
    py::object pool = attr(py::module_::import("concurrent.futures"), K("ThreadPoolExecutor"))(
        "max_workers"_a = 1, "thread_name_prefix"_a = "kernel-spawner");
    return pool.release().ptr();  // kept for the process
  }();
  return py::reinterpret_borrow<py::object>(executor);
}
#endif

// After SIGKILL (or taskkill /F) a process ends at once; one still running
// after this long cannot be stopped by us.
constexpr double kStopTimeout = 1.0;
// A kernel asked to end that is still running after this long is killed.
constexpr double kEndGrace = 3.0;
// What a kernel that is being ended may still take once it has been killed,
// looked at from the loop, before it counts as one that cannot be stopped.
constexpr double kKilledTimeout = 10.0;

bool on_windows() { return py::object(attr(G(K("sys")), K("platform"))).equal(py::str("win32")); }

py::dict processes_of(py::handle self) { return as_dict(attr(self, K("kernel_processes")), "kernel_processes"); }

// Collects the exit status once the process has ended, without blocking the
// caller, so a terminated kernel leaves no zombie behind.
void reap_in_background(py::handle process) {
  if (!call_method(process, K("poll")).is_none()) return;
  py::object thread = attr(py::module_::import("threading"), K("Thread"))(
      "target"_a = attr(process, K("wait")), "name"_a = fmt("kernel-reaper-{}", attr(process, K("pid"))),
      "daemon"_a = true);
  call_method(thread, K("start"));
}

// Waits for the process to end and collects its status; false when it is still running.
bool collect_exit(py::handle process) {
  try {
    attr(process, K("wait"))("timeout"_a = kStopTimeout);
    return true;
  } catch (py::error_already_set& e) {
    if (!e.matches(attr(G(K("subprocess")), K("TimeoutExpired")).ptr())) throw;
  }
  return false;
}

bool is_process_lookup_error(const py::error_already_set& e) { return e.matches(PyExc_ProcessLookupError); }

// Group signals go only to a group that the kernel leads itself: never to the
// master's own group, nor to a group of some other process.
bool is_own_group(py::handle os, py::handle pgid, py::handle pid) {
  return pgid.equal(pid) && !pgid.equal(call_method(os, K("getpgrp")));
}

// SIGTERM, a short grace period, then SIGKILL, through the handle, which never
// signals a process whose status it has already collected.
void kill_single(py::handle process) {
  py::object signal = G(K("signal"));
  try {
    call_method(process, K("send_signal"), attr(signal, K("SIGTERM")));
    call_method(G(K("time")), K("sleep"), py::float_(0.2));
    if (call_method(process, K("poll")).is_none()) call_method(process, K("send_signal"), attr(signal, K("SIGKILL")));
  } catch (py::error_already_set& e) {
    if (!is_process_lookup_error(e)) throw;
  }
}

// SIGKILL to the kernel's group when the kernel leads one of its own, else to
// the kernel alone. The process must not have been collected.
void kill_group(py::handle process, py::handle pid) {
  py::object os = G(K("os"));
  py::object sigkill = attr(G(K("signal")), K("SIGKILL"));
  py::object pgid = call_method(os, K("getpgid"), pid);
  if (is_own_group(os, pgid, pid))
    call_method(os, K("killpg"), pgid, sigkill);
  else
    call_method(process, K("send_signal"), sigkill);
}

void kill_posix(py::handle process, py::handle pid) {
  // A collected process's id may already name another process.
  if (!attr(process, K("returncode")).is_none()) return;
  py::object os = G(K("os"));
  py::object signal = G(K("signal"));
  bool single = false;
  try {
    py::object pgid = call_method(os, K("getpgid"), pid);
    if (!is_own_group(os, pgid, pid)) {
      single = true;
    } else {
      call_method(os, K("killpg"), pgid, attr(signal, K("SIGTERM")));
      call_method(G(K("time")), K("sleep"), py::float_(0.2));
      try {
        // Succeeds for a kernel that has ended but is not yet collected: its group may live on.
        call_method(os, K("kill"), pid, py::int_(0));
        kill_group(process, pid);
      } catch (py::error_already_set& e) {
        if (!is_process_lookup_error(e)) throw;
      }
    }
  } catch (py::error_already_set& e) {
    if (!is_process_lookup_error(e)) throw;
    single = true;
  }
  if (single) kill_single(process);
}

void kill_windows(py::handle pid) {
  py::list command;
  for (const char* part : {"taskkill", "/F", "/T", "/PID"}) command.append(part);
  command.append(py::str(pid));
  attr(G(K("subprocess")), K("run"))(command, "capture_output"_a = true);
}

// ---------------------------------------------------------------- the end of a kernel asked to end

// Kernels asked to end and not yet ended, by workbook id (the latest one of
// each): [process, event set once it has ended, connection to forget then or
// None, manager]. Kept for the process, like every table of Python objects.
enum EndingField : Py_ssize_t { kProcess, kEnded, kConnection, kManager };
py::dict& ending() {
  static py::dict* d = new py::dict();
  return *d;
}

py::handle field(py::handle entry, EndingField at) { return PyList_GET_ITEM(entry.ptr(), at); }

// The entry of the workbook's kernel being ended by `manager`, or None.
py::object ending_of(py::handle manager, py::handle workbook_id) {
  py::object entry = find(ending(), workbook_id);
  return entry && field(entry, kManager).is(manager) ? entry : py::none();
}

// The kernel has ended, been killed or been given up on: its connection, if
// its add-in left, is forgotten with the calls sent to it, and a returning
// add-in waiting for this goes on.
void ended(py::handle workbook_id, py::handle entry) {
  py::handle connection = field(entry, kConnection);
  if (!connection.is_none()) {
    py::handle manager = field(entry, kManager);
    py::object kernels = get(as_dict(attr(manager, K("active_connections")), "active_connections"), K("kernel"));
    if (!kernels.is_none() && get(as_dict(kernels, "connection table"), workbook_id).is(connection)) {
      call_method(kernels, K("pop"), workbook_id);
      drop_pending_calls_of(manager, workbook_id);
    }
  }
  call_method(field(entry, kEnded), K("set"));
  if (find(ending(), workbook_id).is(entry)) PyDict_DelItem(ending().ptr(), workbook_id.ptr());
}

double seconds_since(std::chrono::steady_clock::time_point then) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - then).count();
}

// Looks at the process from the loop until it has ended, kills it (and its
// group) once the grace is over, and collects its status, so that no thread
// waits on it and no zombie is left.
Task watch_end(py::str workbook_id, py::list entry) {
  Finally done{[&] { ended(workbook_id, entry); }, "the end of a kernel"};
  py::object process = borrow(field(entry, kProcess).ptr());
  py::object sleep = attr(G(K("asyncio")), K("sleep"));
  const auto began = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point killed{};
  bool was_killed = false;
  double step = 0.02;
  try {
    while (call_method(process, K("poll")).is_none()) {
      if (!was_killed && seconds_since(began) >= kEndGrace) {
        log_warning(fmt("Kernel for workbook {} (PID: {}) did not end within {} s: killing it", workbook_id,
                        attr(process, K("pid")), kEndGrace));
        try {
          if (on_windows())
            call_method(process, K("kill"));
          else
            kill_group(process, attr(process, K("pid")));
        } catch (py::error_already_set& e) {
          if (!is_process_lookup_error(e)) throw;
        }
        was_killed = true;
        killed = std::chrono::steady_clock::now();
      } else if (was_killed && seconds_since(killed) >= kKilledTimeout) {
        log_error(
            fmt("Kernel process {} for workbook {} could not be stopped", attr(process, K("pid")), workbook_id));
        break;
      }
      co_await call(sleep, py::float_(step));
      step = std::min(step * 2, 0.25);
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // cancelled: the master is stopping, and its kernels die with it
    log_error(fmt("Error ending kernel process {} for workbook {}: {}", attr(process, K("pid")), workbook_id,
                  e.value()));
  }
  co_return py::none();
}

// A kernel asked to end is watched from the running loop until it has ended;
// called with no loop running, a thread collects it.
void see_to_end(py::handle manager, py::handle workbook_id, py::handle process) {
  if (!call_method(process, K("poll")).is_none()) return;
  if (call(attr(G(K("asyncio")), K("_get_running_loop"))).is_none()) {
    reap_in_background(process);
    return;
  }
  py::list entry(4);
  PyList_SET_ITEM(entry.ptr(), kProcess, process.inc_ref().ptr());
  PyList_SET_ITEM(entry.ptr(), kEnded, call(attr(G(K("asyncio")), K("Event"))).release().ptr());
  PyList_SET_ITEM(entry.ptr(), kConnection, py::none().release().ptr());
  PyList_SET_ITEM(entry.ptr(), kManager, manager.inc_ref().ptr());
  set_item(ending(), workbook_id, entry);
  start_background_task(tv::as_awaitable(watch_end(py::str(workbook_id), entry)));
}

py::object spawn_kernel(py::object self, py::str workbook_id) {
  py::object verdict = call(G(K("validate_client_id")), workbook_id);
  if (!truthy(verdict[py::int_(0)])) {
    log_error(fmt("Invalid workbook_id: {}", verdict[py::int_(1)]));
    return py::none();
  }
  py::dict processes = processes_of(self);
  try {
    // One kernel per workbook: a running predecessor would be left unreachable.
    py::object earlier = get(processes, workbook_id);
    if (!earlier.is_none() && call_method(earlier, K("poll")).is_none())
      call_method(self, K("terminate_kernel"), workbook_id);

    py::object sys = G(K("sys"));
    py::list command;
    command.append(attr(sys, K("executable")));
    command.append("-m");
    command.append("tavrino_master.python_server");
    command.append(workbook_id);
    command.append(py::str(G(K("_port"))));
    py::dict options;
    set_item(options, K("stdout"), attr(sys, K("stdout")));
    set_item(options, K("stderr"), attr(sys, K("stderr")));
    // The leader of a session of its own: its process group lets the forced
    // kill address the kernel and its children without reaching the master,
    // and without a controlling terminal nothing the workbook runs can be
    // stopped for touching the terminal the master was started from.
    py::object popen = attr(G(K("subprocess")), K("Popen"));
    py::object process;
#ifdef __linux__
    if (!on_windows()) {
      options[K("start_new_session")] = true;
      options[K("preexec_fn")] = steal(PyCFunction_New(&die_with_master_def, py::int_(getpid()).ptr()));
      py::object started = attr(spawner(), K("submit"))(popen, command, **options);
      process = call_method(started, K("result"));
    }
#endif
    if (!process) {
      if (!on_windows()) options[K("start_new_session")] = true;
      process = popen(command, **options);
    }
    processes[workbook_id] = process;
    log_info(fmt("Spawned kernel for workbook: {}", workbook_id));
    return process;
  } catch (py::error_already_set& e) {
    // RuntimeError: the spawning thread is no longer taking work, the master is stopping.
    if (!e.matches(PyExc_OSError) && !e.matches(attr(G(K("subprocess")), K("SubprocessError")).ptr()) &&
        !e.matches(PyExc_RuntimeError))
      throw;
    log_error(fmt("Failed to spawn kernel for {}: {}", workbook_id, e.value()));
  }
  return py::none();
}

void terminate_kernel(py::object self, py::str workbook_id) {
  py::dict processes = processes_of(self);
  if (!processes.contains(workbook_id)) return;
  py::object process = processes[workbook_id];
  call_method(process, K("terminate"));
  // A stopped kernel acts on SIGTERM only once it runs again.
  if (!on_windows() && call_method(process, K("poll")).is_none()) {
    try {
      call_method(process, K("send_signal"), attr(G(K("signal")), K("SIGCONT")));
    } catch (py::error_already_set& e) {
      if (!is_process_lookup_error(e)) throw;
    }
  }
  if (processes.contains(workbook_id)) PyDict_DelItem(processes.ptr(), workbook_id.ptr());
  // Its calls can never be answered now; a stopped but living kernel keeps its own.
  drop_pending_calls_of(self, workbook_id);
  see_to_end(self, workbook_id, process);
}

bool kill_and_restart_kernel(py::object self, py::str workbook_id) {
  py::dict processes = processes_of(self);
  if (!processes.contains(workbook_id)) {
    log_warning(fmt("No kernel found for workbook: {}", workbook_id));
    return false;
  }
  py::object process = processes[workbook_id];
  py::object pid = attr(process, K("pid"));
  log_info(fmt("Killing kernel for workbook {} (PID: {})", workbook_id, pid));
  try {
    if (on_windows())
      kill_windows(pid);
    else
      kill_posix(process, pid);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    log_error(fmt("Error killing kernel process {}: {}", pid, e.value()));
  }
  // A kernel that survived keeps its entry and its connection: no second
  // kernel is started beside it.
  if (!collect_exit(process)) {
    log_error(fmt("Kernel process {} for workbook {} could not be stopped", pid, workbook_id));
    log_error(fmt("Failed to restart kernel for workbook: {}", workbook_id));
    return false;
  }
  call_method(processes, K("pop"), workbook_id, py::none());
  // Nothing awaits between here and the respawn: every outstanding call was the old kernel's.
  drop_pending_calls_of(self, workbook_id);
  py::object kernels = get(as_dict(attr(self, K("active_connections")), "active_connections"), K("kernel"), py::dict());
  if (kernels.contains(workbook_id)) call_method(kernels, K("pop"), workbook_id);

  call_method(G(K("time")), K("sleep"), py::float_(0.5));
  if (truthy(call_method(self, K("spawn_kernel"), workbook_id))) {
    log_info(fmt("Successfully restarted kernel for workbook: {}", workbook_id));
    return true;
  }
  log_error(fmt("Failed to restart kernel for workbook: {}", workbook_id));
  return false;
}

}  // namespace

void forget_kernel_connection_once_ended(py::handle manager, py::handle workbook_id, py::handle process,
                                         py::handle connection) {
  py::object entry = ending_of(manager, workbook_id);
  if (!entry.is_none() && field(entry, kProcess).is(process)) {
    PyList_SetItem(entry.ptr(), kConnection, py::reinterpret_borrow<py::object>(connection).release().ptr());
    return;
  }
  py::object kernels = get(as_dict(attr(manager, K("active_connections")), "active_connections"), K("kernel"));
  if (!kernels.is_none() && get(as_dict(kernels, "connection table"), workbook_id).is(connection))
    call_method(kernels, K("pop"), workbook_id);
}

py::object kernel_being_ended(py::handle manager, py::handle workbook_id) {
  py::object entry = ending_of(manager, workbook_id);
  return entry.is_none() ? entry : borrow(field(entry, kEnded).ptr());
}

bool is_ending_kernel_connection(py::handle manager, py::handle workbook_id, py::handle connection) {
  py::object entry = ending_of(manager, workbook_id);
  return !entry.is_none() && field(entry, kConnection).is(connection);
}

void define_kernel_methods(Scope& cls) {
  tv::def<&spawn_kernel>(cls, "spawn_kernel", {"self", "workbook_id"});
  tv::def<&terminate_kernel>(cls, "terminate_kernel", {"self", "workbook_id"});
  tv::def<&kill_and_restart_kernel>(cls, "kill_and_restart_kernel", {"self", "workbook_id"});
}

}  // namespace relvane
