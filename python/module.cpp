// _vmosaic: the library's entry point for Python. The public module
// (vmosaic/__init__.py) checks the arguments and shapes the result; this part
// runs the library with the interpreter released, hands frames over from a
// Python iterator, and turns Python errors raised in callbacks (and Ctrl-C)
// back into those errors once the run has unwound.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "vmosaic/command_line.hpp"
#include "vmosaic/vmosaic.hpp"

namespace py = pybind11;

namespace {

// Thrown through the library when Python code failed (or Ctrl-C was
// pressed); the Python error itself waits in PythonFailure.
struct Unwind : std::exception {
  const char* what() const noexcept override { return "stopped by a Python error"; }
};

// The first Python error of a run, kept until the run has unwound.
class PythonFailure {
 public:
  // Call with the interpreter held, inside a catch of error_already_set.
  [[noreturn]] void Keep() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_)
        error_ = std::current_exception();
    }
    throw Unwind();
  }
  void RethrowIfAny() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_)
      std::rethrow_exception(error_);
  }

 private:
  std::mutex mutex_;
  std::exception_ptr error_;
};

// Keeps the messages, calls progress(frame) after each frame and looks for
// Ctrl-C there, with the interpreter held only for that moment.
class PythonObserver : public vmosaic::Observer {
 public:
  PythonObserver(py::object progress, PythonFailure& failure)
      : progress_(std::move(progress)), failure_(failure) {}
  void Message(const std::string& text) override { messages += text; }
  // Notes of the input come from the thread that reads it.
  void Note(const std::string& text) override {
    std::lock_guard<std::mutex> lock(notesMutex_);
    notes.push_back(text);
  }
  void Frames(int framesRead, int /*keyFrames*/) override { Check(framesRead - 1); }
  void Stage(const std::string& /*what*/) override { Check(-1); }

  std::string messages;
  std::vector<std::string> notes;

 private:
  void Check(int frame) {
    py::gil_scoped_acquire held;
    try {
      if (frame >= 0 && !progress_.is_none())
        progress_(frame);
      if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
    } catch (py::error_already_set&) {
      failure_.Keep();
    }
  }

  py::object progress_;
  PythonFailure& failure_;
  std::mutex notesMutex_;
};

// Raises ValueError with text, as the caller's error.
[[noreturn]] void RaiseValueError(const char* text) {
  PyErr_SetString(PyExc_ValueError, text);
  throw py::error_already_set();
}

// The next HxWx3 uint8 array of the iterator, copied; false at its end.
bool NextFrame(const py::object& iterator, PythonFailure& failure, vmosaic::Image* image) {
  py::gil_scoped_acquire held;
  try {
    auto item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (!item) {
      if (PyErr_Occurred() != nullptr)
        throw py::error_already_set();
      return false;
    }
    if (!py::isinstance<py::array>(item))
      RaiseValueError("frames must be numpy arrays (HxWx3, uint8, BGR)");
    auto array = py::reinterpret_borrow<py::array>(item);
    if (array.ndim() != 3 || array.shape(2) != 3 || !array.dtype().is(py::dtype::of<uint8_t>()))
      RaiseValueError("frames must be HxWx3 uint8 arrays (BGR)");
    auto packed = py::array_t<uint8_t, py::array::c_style>::ensure(array);
    image->height = static_cast<int>(packed.shape(0));
    image->width = static_cast<int>(packed.shape(1));
    image->bytes.assign(packed.data(), packed.data() + packed.size());
    return true;
  } catch (py::error_already_set&) {
    failure.Keep();
  }
}

py::object ToArray(const vmosaic::Image& image) {
  if (image.empty())
    return py::none();
  py::array_t<uint8_t> array({image.height, image.width, 3});
  std::memcpy(array.mutable_data(), image.bytes.data(), image.bytes.size());
  return std::move(array);
}

py::dict ToDict(const vmosaic::Result& result, const PythonObserver& observer) {
  py::list keyFrames;
  for (const vmosaic::KeyFrame& key : result.keyFrames) {
    py::dict entry;
    entry["id"] = key.id;
    entry["frame"] = key.frame;
    if (key.placed) {
      py::array_t<double> h({3, 3});
      std::memcpy(h.mutable_data(), key.frameToCanvas.data(), sizeof(double) * 9);
      entry["frame_to_canvas"] = h;
    } else {
      entry["frame_to_canvas"] = py::none();
    }
    keyFrames.append(entry);
  }
  py::dict out;
  out["status"] = result.status;
  out["failure"] = static_cast<int>(result.failure);
  out["message"] = result.message;
  out["mean"] = ToArray(result.mean);
  out["median"] = ToArray(result.median);
  out["blend"] = ToArray(result.blend);
  out["key_frames"] = keyFrames;
  out["report"] = result.reportJson;
  out["written"] = result.written;
  out["messages"] = observer.messages;
  out["notes"] = observer.notes;
  return out;
}

// source: a path (str) or an iterable of frames; options: vmosaic.Options
// fields by name, already checked by the public module.
py::dict Run(py::object source, const py::dict& settings, py::object progress) {
  vmosaic::Options options;
  options.overlap = settings["overlap"].cast<int>();
  options.features = settings["features"].cast<int>();
  options.median = settings["median"].cast<int>();
  options.frameLimit = settings["frame_limit"].cast<int>();
  options.refine = settings["refine"].cast<bool>();
  options.blend = settings["blend"].cast<bool>();
  options.keepGoing = settings["keep_going"].cast<bool>();
  options.memoryBudgetMb = settings["memory_budget_mb"].cast<std::int64_t>();
  options.workScale = settings["work_scale"].cast<double>();
  options.outputDir = settings["output_dir"].cast<std::string>();
  options.writeImages = settings["write_images"].cast<bool>();
  options.jsonPath = settings["json"].cast<std::string>();
  options.input = settings["input"].cast<std::string>();
  options.arguments = settings["arguments"].cast<std::vector<std::string>>();

  PythonFailure failure;
  PythonObserver observer(std::move(progress), failure);
  vmosaic::Result result;
  const bool fromPath = py::isinstance<py::str>(source);
  py::object iterator;
  if (!fromPath)
    iterator = py::iter(source);
  try {
    py::gil_scoped_release released;
    if (fromPath) {
      result = vmosaic::Mosaic(options, observer);
    } else {
      result = vmosaic::Mosaic(
          [&](vmosaic::Image* image) { return NextFrame(iterator, failure, image); }, options,
          observer);
    }
  } catch (const Unwind&) {
    failure.RethrowIfAny();
    throw;
  }
  return ToDict(result, observer);
}

int RunCommandLine(const std::vector<std::string>& arguments) {
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copies)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  py::gil_scoped_release released;
  return vmosaic::RunCommandLine(static_cast<int>(copies.size()), argv.data());
}

}  // namespace

PYBIND11_MODULE(_vmosaic, m) {
  m.doc() = "The vmosaic library (see the vmosaic package for the documented interface).";
  m.def("run", &Run, py::arg("source"), py::arg("settings"), py::arg("progress"),
        "Runs the library; returns a dict of the result's parts.");
  m.def("run_command_line", &RunCommandLine, py::arg("argv"),
        "Runs the command line with argv (argv[0] first); returns the exit status.");
  m.def("default_input", &vmosaic::DefaultInput, "The bundled sample video.");
  m.attr("__version__") = vmosaic::Version();
}
