// C++20 coroutines that Python sees as real coroutine objects.
//
//   Task handler(py::str client_id, py::dict message) {
//     py::object answer = co_await some_python_awaitable;   // like `yield from`
//     co_return answer;
//   }
//
// A Python error raised by the awaited object surfaces at the co_await as
// py::error_already_set; cancellation arrives the same way as CancelledError.
// Coroutine parameters are taken by value (see Bound in native.hpp). Do not
// pass a brace-initialised aggregate straight into a coroutine call
// (`co_await f(Agg{...})`): g++ 12 destroys such a temporary twice.
#pragma once

#include <coroutine>
#include <exception>

#include "common/native.hpp"

namespace tv {

struct Task {
  struct promise_type;
  using handle_type = std::coroutine_handle<promise_type>;

  struct promise_type {
    PyObject* result = nullptr;       // value of co_return, owned
    std::exception_ptr error;         // exception that left the body
    PyObject* inner = nullptr;        // iterator being delegated to, owned
    PyObject* yielded = nullptr;      // value to hand up to the driver, owned
    PyObject* sent = nullptr;         // what the inner iterator returned, owned
    PyObject* exc = nullptr;          // error to raise at the co_await, owned (normalised)

    Task get_return_object() { return Task(handle_type::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(py::object v) { result = v.release().ptr(); }
    void unhandled_exception() {
      // A forced unwind (see forced_unwind) is no exception to keep: it goes on.
      error = std::current_exception();
      if (!error) throw;
    }

    struct Awaiter {
      promise_type* p;
      py::object awaitable;
      py::object first;  // set for a Resumed: the value its iterator already yielded
      bool await_ready() const noexcept { return false; }
      bool await_suspend(handle_type);  // runs Python code: may see a forced unwind
      py::object await_resume();
    };
    Awaiter await_transform(py::object awaitable) { return Awaiter{this, std::move(awaitable), {}}; }
    Awaiter await_transform(Task task);
    Awaiter await_transform(struct Resumed& r);  // a named value only: see Resumed

    ~promise_type() {
      Py_XDECREF(result);
      Py_XDECREF(inner);
      Py_XDECREF(yielded);
      Py_XDECREF(sent);
      Py_XDECREF(exc);
    }
  };

  explicit Task(handle_type h) : h(h) {}
  Task(Task&& o) noexcept : h(o.h) { o.h = {}; }
  Task& operator=(Task&&) = delete;
  Task(const Task&) = delete;
  ~Task() {
    if (h) h.destroy();
  }
  handle_type release() {
    auto r = h;
    h = {};
    return r;
  }

 private:
  handle_type h;
};

// An iterator that was stepped once and yielded `first`: awaiting it hands
// `first` up to the driver and goes on with the iterator, as if it had been
// awaited from the start (a step taken synchronously, finished elsewhere).
// It is awaited as a named value (`co_await step`), which takes its contents:
// g++ 12 destroys a brace-initialised temporary operand of co_await twice, so
// `co_await Resumed{...}` does not compile.
struct Resumed {
  py::object iterator;
  py::object first;
};
inline Task::promise_type::Awaiter Task::promise_type::await_transform(Resumed& r) {
  return Awaiter{this, std::move(r.iterator), std::move(r.first)};
}

// Wraps a task as a Python coroutine object (name taken from spec, may be null).
PyObject* task_to_python(Task&& t, const FunctionSpec* spec);
inline py::object as_awaitable(Task t) {
  PyObject* o = task_to_python(std::move(t), nullptr);
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

// The Python type of those coroutine objects (registered as a Coroutine).
PyTypeObject* coroutine_type();

}  // namespace tv
