// Python Model: inference, evaluation and model files.

#include "python/model_run_py.h"

#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "corelib/interrupt.h"
#include "corelib/model_file.h"
#include "python/model_inference.h"
#include "python/numpy_conversion_py.h"

namespace vorna::python {

const char* const kModelFromFileDoc = R"doc(Load a Model from a file written by save.

A regular file is read under a shared lock, so that a save writing it in place is seen before
or after, never half done: a write lock is waited for five seconds at most, then the load is
refused. The caller's own POSIX record locks (fcntl.lockf) are not waited for (closing the file
drops them, a kernel rule). The load holds the interpreter lock from start to end, so no other
thread of the program runs while it waits, but while a signal handler that the wait runs runs:
loads and saves of several threads wait one after another, each up to five seconds. In the main
thread, where Python runs its signal handlers, a wait ends on Ctrl-C (KeyboardInterrupt) or any
exception a signal handler raises. A process forked during the load (by such a handler) holds no
lock of it, and its copy of the load fails when the handler returns, closing none of the child's
descriptors; the parent's goes on.

Args:
    filename (str): the path of the model file.

Raises:
    RuntimeError: "File not found." if the path holds a null byte, or the file cannot be opened
        or read, or is a socket; "File is empty." for a size of 0 or none (as a directory,
        /dev/null or a pipe measure; a pipe is not waited for); "File is too large." from
        2147483648 bytes; "Unable to read model file: <path> (locked by a writer)" if a write
        lock on it, another process's or an open-file lock, is held past the wait; "Unable to read
        model file: <path> (the process forked during the load)" in the child of a fork made
        during the load; or the file holds no valid model.
    ValueError: if the file is not a whole compressed model (bytes after a whole one are
        ignored).
)doc";

const char* const kModelFitDoc = R"(Trains a set of images or events through the model.

Args:
    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) tensor of int8, uint8, int16 or float32
        inputs.
    input_labels (float, :obj:`numpy.ndarray` or list, optional): the integer labels of the
        inputs, one per sample or one for all.
    batch_size (int, optional): the number of samples processed at once; 0 lets the model
        decide.

Returns:
    :obj:`numpy.ndarray`: a (n, out_x, out_y, out_c) tensor of outputs.

Raises:
    TypeError: if the labels are not integers.
    ValueError: if the model has no layers or the inputs are of another type.
)";

const char* const kModelForwardDoc = R"(Forwards a set of images or events through the model.

Args:
    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) tensor of int8, uint8, int16 or float32
        inputs.
    batch_size (int, optional): the number of samples processed at once; 0 lets the model
        decide.

Returns:
    :obj:`numpy.ndarray`: a (n, out_x, out_y, out_c) tensor of outputs.

Raises:
    ValueError: if the model has no layers or the inputs are of another type.
)";

const char* const kModelPredictDoc = R"(Returns the model predictions as floats.

This applies only to models whose last layer has no activation; the model raises otherwise.

Args:
    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) tensor of int8, uint8, int16 or float32
        inputs.
    batch_size (int, optional): the number of samples processed at once; 0 lets the model
        decide.

Returns:
    :obj:`numpy.ndarray`: a (n, out_x, out_y, out_c) float32 tensor of predictions.

Raises:
    ValueError: if the model has no layers or the inputs are of another type.
    RuntimeError: if the last layer has an activation.
)";

const char* const kModelEvaluateDoc = R"(Returns the model class accuracy.

The output neurons are assigned to the classes in consecutive groups: with one value per
position, neuron k belongs to class k // (neurons // num_classes). Each sample is predicted as
the class holding its highest output.

Args:
    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) tensor of int8, uint8, int16 or float32
        inputs.
    labels (:obj:`numpy.ndarray`): a (n) int32 array of the expected classes.
    num_classes (int, optional): the number of classes; 0 takes the output channels.
    batch_size (int, optional): the number of samples processed at once; 0 lets the model
        decide.

Returns:
    float: the share of samples predicted as their label.

Raises:
    ValueError: if the labels are not a 1-D int32 array of one label per input, or the
        output neurons cannot be split into the classes.
)";

const char* const kModelSaveDoc = R"doc(Saves the model to a file.

The path is opened once, following links as opening it would (with the kernel's own checks),
and how the file is written is decided then, against the file that was opened. A missing file,
and a regular file that is its only name, in a directory not marked append-only or immutable,
whose owner, group, mode and extended attributes the new file can be given, are replaced: the
model is written to a new file, which takes the name only when it is whole, and only while the
name still refers to the file that was opened, as its only name. The new file keeps the old
one's owner, group, mode and the extended attributes the caller can read (not
security.capability, which writing removes, nor inode flags or timestamps), and a link stays a
link. When another save has put its file under the name meanwhile, the save starts over with
that file, so that the last of concurrent saves wins; a file given a second name meanwhile is
written in place.

Any other file is written in place: one with several hard links, one reached through a
descriptor link such as /dev/stdout, another user's file in a sticky directory or one whose
owner could not be kept, one in a directory that takes no new file, keeps its names
(append-only, immutable) or has no room for a second copy. So is a new file where the file
system has no unnamed temporary files: it is created when the path is opened and removed again
if the save fails. Its whole new length is reserved and checked against the process's file-size
limit first (the save is refused with the old bytes untouched when it does not fit), and the
bytes are written in an order that keeps the file from ever loading as a mixture. A save that is
killed or fails partway thus leaves the old model, the new model, or a file that loading
refuses; never a file that loads as neither. The in-place write holds an advisory lock on the
file that keeps out another in-place save of it (the last wins) and loads, which wait for it;
another's lock (a reader's too) held longer than five seconds refuses the save. The caller's
own POSIX record locks (fcntl.lockf) are made one write lock on the whole file, which other
processes' locks keep out as above; an open-file lock the caller holds through another
descriptor is waited for as another's; flock locks are not seen. Other programs' writes are not
held back. Pipes with a reader and devices are written as a stream, with no time limit. The
save holds the interpreter lock from start to end, so no other thread of the program runs
meanwhile, but while a signal handler that a wait runs runs: saves and loads of several threads
wait one after another, each up to five seconds (the sixth of six waiting for one writer is
refused after 30 seconds), and a save into a pipe that only a thread of this program reads waits
until Ctrl-C. In the main thread, where Python runs its signal handlers, a wait ends on Ctrl-C
(KeyboardInterrupt) or any exception a signal handler raises, with the file as a refused save
leaves it; elsewhere nothing ends it: a save from another thread into a pipe or device whose
reader stops reading holds the whole program until the reader reads or the program is killed. A
save that a signal handler starts into the stream the interrupted save is writing puts its bytes
inside that stream. A process forked during the save (by such a handler) holds no lock of it,
and its copy of the save fails when the handler returns, writing nothing and closing none of the
child's descriptors; the parent's goes on.
A thread of the
program that takes or drops POSIX locks on the file meanwhile (a call that was already waiting
when the save began) can undo the save's lock (a kernel rule), and a load elsewhere may then be
refused as corrupt. Nothing is forced to the disk: this holds for stopped processes and I/O
errors, not for a power loss.

Args:
    model_file (str): the path of the file, conventionally ending in ".fbz".

Raises:
    ValueError: if the file cannot be opened for writing (a write-protected file is kept, as is
        another user's file or pipe in a shared sticky directory such as /tmp where the kernel
        protects it), or the path is empty, ends in "/" or holds a null byte, or names a pipe no
        one reads, or a missing file in a directory that takes no new file.
    RuntimeError: if writing the file fails, if the name comes to hold something other than a
        regular file during the save, or none (a link planted there is never followed), if
        a lock on the file is held past the wait ("Unable to write model file: <path> (locked by
        another process)" for another process's POSIX record lock, "(locked)" for an open-file
        lock, whose holder cannot be told; "(the process forked during the save)" in the child
        of a fork made during the save), or if the model is too large for a model file
        (a serialization over 4294967295 bytes, or a compressed file over 2147483647 bytes,
        which could not be read back).
    A refused save leaves everything as it was, except that a link to a missing file leaves
    that file created, empty, as opening it for writing would.
)doc";

const char* const kModelToBufferDoc = R"(Serializes the model into a bytes object.

Returns:
    bytes: the serialized model, uncompressed.
)";

namespace {

constexpr const char* kLabelsError = "fit method expects integers as labels";

// The input tensor of a run: the model must have layers, and the array one of the four
// accepted element types (compared in this order).
std::shared_ptr<Dense> input_tensor(const PyModel& self, const py::array& inputs) {
    if (self.model->layer_count() == 0) {
        throw std::invalid_argument("Cannot perform an inference on a model with no layers");
    }
    const py::dtype dtype = inputs.dtype();
    if (dtype_is(dtype, "int8")) return dense_from_numpy<int8_t>(inputs, TensorType::int8);
    if (dtype_is(dtype, "uint8")) return dense_from_numpy<uint8_t>(inputs, TensorType::uint8);
    if (dtype_is(dtype, "int16")) return dense_from_numpy_i16(inputs, TensorType::int16);
    if (dtype_is(dtype, "float32")) return dense_from_numpy<float>(inputs, TensorType::float32);
    throw std::invalid_argument("Input dtype should be int8, uint8, int16 or float32.");
}

std::shared_ptr<Tensor> run(PyModel& self, const py::array& inputs,
                            const ModelOperation& operation) {
    const auto input = input_tensor(self, inputs);
    return run_model_inference(*self.model, self.metrics, self.power_events, input, operation);
}

py::array fit(PyModel& self, const py::array& inputs, const std::vector<int32_t>& labels,
              uint32_t batch_size) {
    Model& model = *self.model;
    return tensor_to_numpy(run(self, inputs, [&](std::shared_ptr<Dense> in) {
        return model.fit(std::move(in), labels, batch_size);
    }));
}

}  // namespace

py::array model_fit_number(PyModel& self, const py::array& inputs, float label,
                           uint32_t batch_size) {
    // NaN, infinities and values outside int32 have no integer to truncate to.
    if (!(label >= -2147483648.0f && label < 2147483648.0f)) throw py::type_error(kLabelsError);
    const auto truncated = static_cast<int32_t>(label);
    if (static_cast<float>(truncated) != label) throw py::type_error(kLabelsError);
    return fit(self, inputs, {truncated}, batch_size);
}

py::array model_fit_array(PyModel& self, const py::array& inputs, const py::array& labels,
                          uint32_t batch_size) {
    const py::module_ numpy = py::module_::import("numpy");
    const bool integer =
        numpy.attr("issubdtype")(labels.dtype(), numpy.attr("integer")).cast<bool>();
    if (!integer) throw py::type_error(kLabelsError);
    return fit(self, inputs, labels.cast<std::vector<int32_t>>(), batch_size);
}

py::array model_fit_list(PyModel& self, const py::array& inputs, const py::list& labels,
                         uint32_t batch_size) {
    std::vector<int32_t> values;
    try {
        values = labels.cast<std::vector<int32_t>>();
    } catch (const py::cast_error&) {
        throw py::type_error(kLabelsError);
    }
    return fit(self, inputs, values, batch_size);
}

py::array model_forward(PyModel& self, const py::array& inputs, uint32_t batch_size) {
    Model& model = *self.model;
    return tensor_to_numpy(run(self, inputs, [&](std::shared_ptr<Dense> in) {
        return model.forward(std::move(in), batch_size);
    }));
}

py::array model_predict(PyModel& self, const py::array& inputs, uint32_t batch_size) {
    Model& model = *self.model;
    return tensor_to_numpy(run(self, inputs, [&](std::shared_ptr<Dense> in) {
        return model.predict(std::move(in), batch_size);
    }));
}

float model_evaluate(PyModel& self, const py::array& inputs, const py::array& labels,
                     int32_t num_classes, uint32_t batch_size) {
    if (labels.ndim() != 1) throw std::invalid_argument("Labels must be 1-D.");
    if (inputs.ndim() < 1 || inputs.shape(0) != labels.shape(0)) {
        throw std::invalid_argument("Inputs and labels must have the same size.");
    }
    if (!dtype_is(labels.dtype(), "int32")) throw std::invalid_argument("Labels must be int32.");
    Model& model = *self.model;
    if (num_classes == 0) {
        // An empty model has no output channels; its run below reports it.
        const Shape out = model.output_dimensions();
        if (out.size() >= 3) num_classes = static_cast<int32_t>(out[2]);
    }

    // Without an activation the last layer's potentials are compared as predictions.
    const bool activation = model.layer_count() > 0 && model.layers().back()->has_activation();
    const auto output = run(self, inputs, [&](std::shared_ptr<Dense> in) {
        return activation ? model.forward(std::move(in), batch_size)
                          : model.predict(std::move(in), batch_size);
    });
    const std::vector<int32_t> predictions = predict_classes(output, num_classes);

    const auto count = static_cast<size_t>(labels.shape(0));
    const auto* base = static_cast<const char*>(labels.data());
    const py::ssize_t stride = labels.strides(0);
    float hits = 0.0f;
    for (size_t i = 0; i < predictions.size(); ++i) {
        if (i >= count) throw std::out_of_range("Label index out of range.");
        int32_t label;
        std::memcpy(&label, base + static_cast<py::ssize_t>(i) * stride, sizeof label);
        if (predictions[i] == label) hits += 1.0f;
    }
    return hits / static_cast<float>(count);
}

namespace {

// Runs the interpreter's signal handlers while a save or a load waits on a file, with the
// interpreter lock that the save or load holds: an exception that one raises (KeyboardInterrupt
// for Ctrl-C) ends the save or load with it. Handlers run on the main thread only; elsewhere this
// returns at once, as it does in a thread that does not hold the lock.
void check_signals() {
    if (PyGILState_Check() && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

// Save and load hold the interpreter lock from start to end: no other thread of the program
// runs meanwhile (but while a signal handler that a wait runs in the main thread runs Python
// code), so none finalizes the interpreter, forks or closes a descriptor of the file (which would
// drop the process's classic locks on it) while the file is open.
std::unique_ptr<PyModel> model_from_file(const std::string& filename) {
    set_interrupt_check(&check_signals);
    auto self = std::make_unique<PyModel>();
    self->model = model_file::load(filename);
    return self;
}

void model_save(const PyModel& self, const std::string& path) {
    set_interrupt_check(&check_signals);
    model_file::save(*self.model, path);
}

py::bytes model_to_buffer(const PyModel& self) {
    const std::vector<uint8_t> bytes = self.model->serialize();
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace vorna::python
