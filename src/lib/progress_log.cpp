#include "lib/progress_log.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <exception>

#include "lib/errors.h"

namespace corvane::py {
namespace {

// logging.INFO and logging.DEBUG.
constexpr int kInfo = 20;
constexpr int kDebug = 10;
constexpr std::chrono::seconds kProgressPeriod{1};

[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, pattern);
  const int length = std::vsnprintf(text, sizeof text, pattern, arguments);
  va_end(arguments);
  return length < 0 ? std::string() : std::string(text, std::min<std::size_t>(length, sizeof text - 1));
}

// A value as a message shows it: one decimal in the usual range, otherwise
// six significant digits (so that a small value is not shown as 0.0).
std::string shown(double value) {
  const double size = std::fabs(value);
  return format(size == 0.0 || (size >= 0.1 && size < 1e15) ? "%.1f" : "%.6g", value);
}

std::string shown_seconds(double seconds) { return format(seconds >= 1.0 ? "%.0f" : "%.1f", seconds); }

// object.name(argument). The name is interned: a lookup by a fresh string
// each time leaves blocks behind in the type's caches.
PyRef call_method(PyObject* object, const char* name, PyObject* argument) {
  PyRef interned = PyRef::steal(PyUnicode_InternFromString(name));
  return interned ? PyRef::steal(PyObject_CallMethodOneArg(object, interned.get(), argument)) : PyRef();
}

// logger.isEnabledFor(level): 1 or 0, or -1 with the exception set.
int enabled_for(PyObject* logger, int level) {
  PyRef number = PyRef::steal(PyLong_FromLong(level));
  PyRef answer = number ? call_method(logger, "isEnabledFor", number.get()) : PyRef();
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

bool put(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef maybe(std::optional<double> value) { return value ? to_python(*value) : PyRef::borrow(Py_None); }

// "name=value, ..." from a dict of numbers, each value as repr() shows it.
std::optional<std::string> parameter_text(PyObject* parameters) {
  std::string text;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // Only exact ints and floats, put there by open(): their repr() runs no
  // Python code that could change the dict while it is walked.
  for (Py_ssize_t position = 0; PyDict_Next(parameters, &position, &key, &value);) {
    PyRef item = PyRef::steal(PyUnicode_FromFormat("%U=%R", key, value));
    if (!item) return std::nullopt;
    const char* utf8 = PyUnicode_AsUTF8(item.get());
    if (utf8 == nullptr) return std::nullopt;
    if (!text.empty()) text += ", ";
    text += utf8;
  }
  return text;
}

}  // namespace

PyRef to_python(std::uint64_t value) { return PyRef::steal(PyLong_FromUnsignedLongLong(value)); }
PyRef to_python(double value) { return PyRef::steal(PyFloat_FromDouble(value)); }

bool ProgressLog::open(std::optional<ProgressLog>& log, const SolveOutline& outline, const SolveModes& modes,
                       Clock::time_point started) {
  PyRef name = PyRef::steal(PyUnicode_InternFromString("logging"));
  if (!name) return false;
  PyRef logging = PyRef::steal(PyImport_GetModule(name.get()));
  if (!logging) return !PyErr_Occurred();
  // None in sys.modules blocks the import: nobody uses logging either.
  if (logging.get() == Py_None) return true;
  PyRef logger_name = PyRef::steal(PyUnicode_InternFromString("corvane"));
  if (!logger_name) return false;
  PyRef logger = call_method(logging.get(), "getLogger", logger_name.get());
  if (!logger) return false;
  const int info = enabled_for(logger.get(), kInfo);
  if (info < 0) return false;
  const int debug = enabled_for(logger.get(), kDebug);
  if (debug < 0) return false;
  if (info == 0 && debug == 0) return true;

  log.emplace(outline, modes, started, info != 0, debug != 0);
  ProgressLog& made = *log;
  made.logger_ = std::move(logger);
  made.solver_ = PyRef::steal(PyUnicode_FromString(outline.solver));
  made.kmax_ = to_python(outline.units.kmax);
  PyRef per_iteration = to_python(outline.units.per_iteration);
  if (made.kmax_ && per_iteration) made.total_ = PyRef::steal(PyNumber_Multiply(made.kmax_.get(), per_iteration.get()));
  made.parameters_ = PyRef::steal(PyDict_New());
  if (!made.solver_ || !made.total_ || !made.parameters_ || !outline.parameters(made.parameters_.get())) {
    log.reset();
    return false;
  }
  return true;
}

ProgressLog::ProgressLog(const SolveOutline& outline, const SolveModes& modes, Clock::time_point started, bool info,
                         bool debug) noexcept
    : solver_name_(outline.solver),
      m_(outline.m),
      n_(outline.n),
      units_(outline.units),
      total_count_(static_cast<double>(outline.units.kmax) * static_cast<double>(outline.units.per_iteration)),
      modes_(modes),
      started_(started),
      next_progress_(started + kProgressPeriod),
      info_(info),
      debug_(debug) {}

ProgressLog::Moment ProgressLog::now() const noexcept {
  const std::uint64_t done = tally_.done();
  return {done, units_.samples ? done : iterations_, std::chrono::duration<double>(Clock::now() - started_).count()};
}

// What is left at the pace so far, and no more than what the time limit leaves.
std::optional<double> ProgressLog::remaining(const Moment& at) const noexcept {
  if (at.done == 0) return std::nullopt;
  const double done = static_cast<double>(at.done);
  double left = at.elapsed * std::max(0.0, total_count_ - done) / done;
  if (modes_.time_limit) left = std::min(left, std::max(0.0, *modes_.time_limit - at.elapsed));
  return left;
}

// How far the solve has got, as the messages say it.
std::string ProgressLog::position(const Moment& at) const {
  return format("%s %llu/%llu", units_.samples ? "sample" : "iteration", static_cast<unsigned long long>(at.iteration),
                static_cast<unsigned long long>(units_.kmax));
}

// The attributes every record carries:
//   event             "start", "progress", "iteration", "time limit" or "end"
//   solver            the class name
//   iteration, kmax   iterations completed (samples built, for the
//                     probabilistic solver, whose kmax counts samples) and kmax
//   candidates_done, candidates_total
//                     candidates built so far, and num_ants · kmax or kmax
//   best              the best value so far (0.0 at the start)
//   elapsed           seconds since the call began
//   remaining         an estimate of the seconds left, or None before there is one
PyRef ProgressLog::attributes(const char* event, const Moment& at, double best, std::optional<double> remaining) const {
  PyRef extra = PyRef::steal(PyDict_New());
  if (!extra) return extra;
  PyObject* dict = extra.get();
  const bool made = put(dict, "event", PyRef::steal(PyUnicode_FromString(event))) &&
                    put(dict, "solver", PyRef::borrow(solver_.get())) &&
                    put(dict, "iteration", to_python(at.iteration)) && put(dict, "kmax", PyRef::borrow(kmax_.get())) &&
                    put(dict, "candidates_done", to_python(at.done)) &&
                    put(dict, "candidates_total", PyRef::borrow(total_.get())) && put(dict, "best", to_python(best)) &&
                    put(dict, "elapsed", to_python(at.elapsed)) && put(dict, "remaining", maybe(remaining));
  return made ? std::move(extra) : PyRef();
}

// logger.log(level, message, extra=extra).
bool ProgressLog::emit(int level, const std::string& message, PyRef extra) {
  if (!extra) return false;
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyRef arguments = text ? PyRef::steal(Py_BuildValue("(iO)", level, text.get())) : PyRef();
  PyRef keywords = PyRef::steal(Py_BuildValue("{sO}", "extra", extra.get()));
  PyRef name = PyRef::steal(PyUnicode_InternFromString("log"));
  PyRef method = name ? PyRef::steal(PyObject_GetAttr(logger_.get(), name.get())) : PyRef();
  if (!arguments || !keywords || !method) return false;
  PyRef result;
  // A handler that gives the lock up (to write, say) may find the
  // interpreter shutting down when it asks for it back; the thread is then
  // ended, and these references go with it (see failure_of).
  const std::exception_ptr failure =
      failure_of([&] { result = PyRef::steal(PyObject_Call(method.get(), arguments.get(), keywords.get())); },
                 [&] {
                   for (PyRef* reference : {&text, &arguments, &keywords, &name, &method, &extra})
                     (void)reference->release();
                 });
  if (failure) std::rethrow_exception(failure);
  return static_cast<bool>(result);
}

bool ProgressLog::started(std::optional<std::size_t> threads) {
  if (!info_) return true;
  const std::optional<std::string> parameters = parameter_text(parameters_.get());
  if (!parameters) return false;
  std::string modes;
  if (modes_.seed) modes += format(", seed %llu", static_cast<unsigned long long>(*modes_.seed));
  if (modes_.release_gil) modes += ", lock released";
  if (modes_.time_limit) modes += format(", time limit %g s", *modes_.time_limit);
  if (!modes.empty()) modes = ";" + modes.substr(1);
  // A solve that runs no batch starts no pool: it has no threads to tell of.
  const std::string on = threads ? format(" on %zu thread%s", *threads, *threads == 1 ? "" : "s") : "";
  const std::string message =
      format("%s: solving a %llux%llu task with %s%s%s", solver_name_, static_cast<unsigned long long>(m_),
             static_cast<unsigned long long>(n_), parameters->c_str(), on.c_str(), modes.c_str());
  PyRef extra = attributes("start", now(), 0.0, std::nullopt);
  if (!extra) return false;
  PyObject* dict = extra.get();
  PyRef seed = modes_.seed ? to_python(*modes_.seed) : PyRef::borrow(Py_None);
  const bool made =
      put(dict, "m", to_python(m_)) && put(dict, "n", to_python(n_)) &&
      put(dict, "threads", threads ? to_python(static_cast<std::uint64_t>(*threads)) : PyRef::borrow(Py_None)) &&
      put(dict, "parameters", std::move(parameters_)) && put(dict, "seed", std::move(seed)) &&
      put(dict, "release_gil", PyRef::borrow(modes_.release_gil ? Py_True : Py_False)) &&
      put(dict, "time_limit", maybe(modes_.time_limit));
  return made && emit(kInfo, message, std::move(extra));
}

bool ProgressLog::after_batch(const Progress& progress) {
  iterations_ = progress.batches;
  if (debug_ && !units_.samples) {
    // The iteration's best ant; NaN values are no one's best.
    std::optional<double> iteration_best;
    for (const Solution& ant : progress.batch) {
      if (!std::isnan(ant.value) && !(iteration_best && *iteration_best >= ant.value)) iteration_best = ant.value;
    }
    const Moment at = now();
    const std::string ants = iteration_best ? "best of its ants " + shown(*iteration_best) : "no ants";
    const std::string message = format("%s: %s done, %s, best so far %s", solver_name_, position(at).c_str(),
                                       ants.c_str(), shown(progress.best_value).c_str());
    PyRef extra = attributes("iteration", at, progress.best_value, remaining(at));
    if (!extra || !put(extra.get(), "iteration_best", maybe(iteration_best))) return false;
    if (!emit(kDebug, message, std::move(extra))) return false;
  }
  return !info_ || Clock::now() < next_progress_ || this->progress();
}

bool ProgressLog::progress() {
  next_progress_ = Clock::now() + kProgressPeriod;
  const Moment at = now();
  const double best = tally_.best();
  const std::optional<double> left = remaining(at);
  std::string message = format("%s: %s", solver_name_, position(at).c_str());
  if (!units_.samples) message += format(", ants %llu/%.0f", static_cast<unsigned long long>(at.done), total_count_);
  message += ", best " + shown(best) + format(", %.1f s elapsed", at.elapsed);
  if (left) message += ", about " + shown_seconds(*left) + " s left";
  return emit(kInfo, message, attributes("progress", at, best, left));
}

bool ProgressLog::finished(double best, bool limit_reached) {
  if (!info_) return true;
  const Moment at = now();
  if (limit_reached && at.iteration < units_.kmax) {
    const std::string message = format("%s: time limit of %g s reached after %s; returning the best found",
                                       solver_name_, *modes_.time_limit, position(at).c_str());
    PyRef extra = attributes("time limit", at, best, 0.0);
    if (!extra || !put(extra.get(), "time_limit", to_python(*modes_.time_limit))) return false;
    if (!emit(kInfo, message, std::move(extra))) return false;
  }
  const std::string message = format("%s: done, best %s, %llu candidates in %.1f s", solver_name_, shown(best).c_str(),
                                     static_cast<unsigned long long>(at.done), at.elapsed);
  return emit(kInfo, message, attributes("end", at, best, 0.0));
}

void ProgressLog::keep_failure() { pending_ = fetch_exception(); }

bool ProgressLog::restore_failure() {
  if (!pending_) return false;
  restore_exception(std::move(pending_));
  return true;
}

void ProgressLog::abandon() noexcept {
  for (PyRef* reference : {&logger_, &solver_, &kmax_, &total_, &parameters_, &pending_}) (void)reference->release();
}

}  // namespace corvane::py
