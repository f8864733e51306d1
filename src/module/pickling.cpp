#include "module/pickling.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "modelfile/modelfile.hpp"
#include "module/genome.hpp"
#include "module/model.hpp"
#include "module/optimizers.hpp"
#include "module/pyref.hpp"
#include "training/losses.hpp"

namespace tessavo {

namespace {

// The state: magic, kind, version, the kind's fields, then a checksum of
// everything before it, so that damaged bytes are refused, not loaded.
constexpr char state_magic[4] = {'T', 'V', 'P', 'K'};
constexpr unsigned char state_version = 1;
enum StateKind : unsigned char {
    KIND_MODEL = 1,
    KIND_GENOME = 2,
    KIND_ALPHA = 3,
    KIND_BETA = 4,
    KIND_GAMMA = 5
};

static_assert(std::is_trivially_copyable_v<RandomEngine>, "the engine's state is copied as bytes");

class BadState : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

uint64_t checksum(const unsigned char* data, std::size_t size) {
    uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001B3ull;
    return hash;
}

struct PickleWriter {
    std::vector<unsigned char> bytes;

    void raw(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
    void u8(unsigned char v) { bytes.push_back(v); }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
    void i32(int32_t v) {
        const auto u = static_cast<uint32_t>(v);
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(u >> (8 * i)));
    }
    void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
    void doubles(const std::vector<double>& values) {
        for (double v : values) f64(v);
    }
    void codes(const std::vector<int32_t>& values) {
        u64(values.size());
        for (int32_t v : values) i32(v);
    }
    void network(const Network& net) {
        const std::vector<unsigned char> layout = network_bytes(net);
        u64(layout.size());
        raw(layout.data(), layout.size());
        doubles(net.values);
        doubles(net.sums);
        // The engine travels too: a restored network is an exact copy, and
        // restoring draws nothing (Dask unpickles while tokenizing, which
        // must not move a seeded run's stream).
        raw(static_cast<const void*>(&net.rng), sizeof net.rng);
    }
    PyObject* finish(StateKind kind) {
        std::vector<unsigned char> head(state_magic, state_magic + 4);
        head.push_back(kind);
        head.push_back(state_version);
        bytes.insert(bytes.begin(), head.begin(), head.end());
        u64(checksum(bytes.data(), bytes.size()));
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    }
};

struct PickleReader {
    const unsigned char* data;
    std::size_t size;
    std::size_t position = 0;

    const unsigned char* take(std::size_t n) {
        if (n > size - position) throw BadState("it is truncated");
        const unsigned char* at = data + position;
        position += n;
        return at;
    }
    unsigned char u8() { return *take(1); }
    uint64_t u64() {
        const unsigned char* p = take(8);
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
        return v;
    }
    int32_t i32() {
        const unsigned char* p = take(4);
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
        return static_cast<int32_t>(v);
    }
    double f64() { return std::bit_cast<double>(u64()); }
    bool flag() {
        const unsigned char v = u8();
        if (v > 1) throw BadState("a flag is neither 0 nor 1");
        return v == 1;
    }
    std::vector<int32_t> codes(int32_t limit) {
        const uint64_t count = u64();
        if (count > (size - position) / 4) throw BadState("it is truncated");
        std::vector<int32_t> values(count);
        for (auto& v : values) {
            v = i32();
            if (v < 0 || v >= limit) throw BadState("it holds an unknown loss or monitor code");
        }
        return values;
    }
    Network network() {
        const uint64_t length = u64();
        if (length > size - position) throw BadState("it is truncated");
        const unsigned char* layout = take(length);
        Network net;
        try {
            net = network_from_bytes(layout, length);
        } catch (const MalformedModelFile& e) {
            throw BadState(std::string("its network is malformed: ") + e.what());
        }
        if (net.size > 0 && static_cast<uint64_t>(net.size) * 16 > size - position) {
            throw BadState("it is truncated");
        }
        for (auto& v : net.values) v = f64();
        for (auto& v : net.sums) v = f64();
        const unsigned char* engine = take(sizeof net.rng);
        // An all-zero state would give zeros for ever.
        if (std::all_of(engine, engine + sizeof net.rng, [](unsigned char b) { return b == 0; })) {
            throw BadState("its random engine state is zero");
        }
        std::memcpy(static_cast<void*>(&net.rng), engine, sizeof net.rng);
        return net;
    }
};

// Checks magic, kind, version and checksum; the reader then stands at the fields.
PickleReader open_state(PyObject* state, StateKind kind) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(state, &data, &size) != 0) throw std::runtime_error("");
    PickleReader in{reinterpret_cast<const unsigned char*>(data), static_cast<std::size_t>(size)};
    if (in.size < 4 + 2 + 8) throw BadState("it is truncated");
    if (std::memcmp(in.data, state_magic, 4) != 0) throw BadState("it is not a tessavo state");
    const std::size_t body = in.size - 8;
    PickleReader tail{in.data + body, 8};
    if (tail.u64() != checksum(in.data, body)) {
        throw BadState("it is truncated or altered (checksum mismatch)");
    }
    in.size = body;
    in.take(4);
    if (in.u8() != kind) throw BadState("it was made for another type");
    if (in.u8() != state_version) throw BadState("it has an unknown version");
    return in;
}

void finish_state(const PickleReader& in) {
    if (in.position != in.size) throw BadState("it has trailing bytes");
}

// A subclass instance's __dict__, for pickle to restore; None otherwise.
PyObject* instance_dict(PyObject* self) {
    if (Py_TYPE(self)->tp_dictoffset == 0) Py_RETURN_NONE;
    PyRef dict(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) return nullptr;
    if (PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) == 0) Py_RETURN_NONE;
    return dict.release();
}

PyObject* restore_function() {
    PyRef module(PyImport_ImportModule("tessavo._core"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), "_restore");
}

// (_restore, (type(self), state[, extra]), __dict__ or None)
PyObject* reduce_with(PyObject* self, PyObject* state, PyObject* extra) {
    PyRef owned(state);
    if (!owned) return nullptr;
    PyRef function(restore_function());
    if (!function) return nullptr;
    PyRef dict(instance_dict(self));
    if (!dict) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyRef args(extra ? PyTuple_Pack(3, type, state, extra) : PyTuple_Pack(2, type, state));
    if (!args) return nullptr;
    return PyTuple_Pack(3, function.get(), args.get(), dict.get());
}

// cls.__new__(cls), checked to give an instance of base.
PyObject* new_instance(PyObject* cls, PyTypeObject* base) {
    PyRef object(PyObject_CallMethod(cls, "__new__", "O", cls));
    if (!object) return nullptr;
    if (!PyObject_TypeCheck(object.get(), base)) {
        PyErr_Format(PyExc_TypeError, "%R.__new__ did not return a %s object.", cls, base->tp_name);
        return nullptr;
    }
    return object.release();
}

}  // namespace

PyObject* model_reduce(PyObject* self, PyObject*) {
    auto* model = reinterpret_cast<ModelObject*>(self);
    PickleWriter out;
    try {
        out.network(model->network);
        out.u8(model->compiled);
        out.u8(model->loss_set);
        out.codes(model->codes);
        out.codes(model->monitors);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    return reduce_with(self, out.finish(KIND_MODEL), model->optimizer ? model->optimizer : Py_None);
}

PyObject* genome_reduce(PyObject* self, PyObject*) {
    auto* genome = reinterpret_cast<GenomeObject*>(self);
    PickleWriter out;
    try {
        out.i32(genome->inputs);
        out.i32(genome->outputs);
        out.u8(genome->recurrent);
        out.network(genome->network);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    return reduce_with(self, out.finish(KIND_GENOME), nullptr);
}

PyObject* alpha_reduce(PyObject* self, PyObject*) {
    PickleWriter out;
    out.f64(reinterpret_cast<AlphaObject*>(self)->mutation_rate);
    return reduce_with(self, out.finish(KIND_ALPHA), nullptr);
}

PyObject* beta_reduce(PyObject* self, PyObject*) {
    const BetaSettings& settings = reinterpret_cast<BetaObject*>(self)->settings;
    PickleWriter out;
    out.f64(settings.mutation_power);
    out.f64(settings.mutation_rate);
    out.f64(settings.structure_rate);
    out.i32(settings.species);
    out.i32(settings.elitism);
    out.u8(settings.keep_output_activations ? 1 : 0);
    return reduce_with(self, out.finish(KIND_BETA), nullptr);
}

PyObject* gamma_reduce(PyObject* self, PyObject*) {
    const GammaSettings& settings = reinterpret_cast<GammaObject*>(self)->settings;
    PickleWriter out;
    out.f64(settings.step_size);
    out.i32(settings.hidden_activation);
    out.u8(settings.restarts);
    return reduce_with(self, out.finish(KIND_GAMMA), nullptr);
}

PyObject* module_restore(PyObject*, PyObject* args) {
    PyObject* cls = nullptr;
    PyObject* state = nullptr;
    PyObject* optimizer = Py_None;
    if (!PyArg_ParseTuple(args, "O!O!|O:_restore", &PyType_Type, &cls, &PyBytes_Type, &state,
                          &optimizer)) {
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    try {
        if (PyType_IsSubtype(type, &ModelType)) {
            PickleReader in = open_state(state, KIND_MODEL);
            Network network = in.network();
            const bool compiled = in.flag();
            const bool loss_set = in.flag();
            std::vector<int32_t> codes = in.codes(loss_count);
            std::vector<int32_t> monitors = in.codes(1);  // "size" is the only monitor
            finish_state(in);
            if (loss_set && codes.empty()) throw BadState("it has a loss flag but no loss");
            if (optimizer != Py_None && !is_optimizer(optimizer)) {
                PyErr_Format(
                    PyExc_TypeError,
                    "The optimizer of a Model must be an Alpha, a Beta or a Gamma, got %s.",
                    Py_TYPE(optimizer)->tp_name);
                return nullptr;
            }
            PyRef object(new_instance(cls, &ModelType));
            if (!object) return nullptr;
            auto* model = reinterpret_cast<ModelObject*>(object.get());
            model->inputs = network.inputs;
            model->outputs = network.outputs;
            model->recurrent = network.recurrent;
            model->network = std::move(network);
            model->size = model->network.size;
            model->compiled = compiled;
            model->loss_set = loss_set;
            model->codes = std::move(codes);
            model->monitors = std::move(monitors);
            PyObject* previous = model->optimizer;
            model->optimizer = optimizer == Py_None ? nullptr : Py_NewRef(optimizer);
            Py_XDECREF(previous);
            return object.release();
        }
        if (PyType_IsSubtype(type, &GenomeType)) {
            PickleReader in = open_state(state, KIND_GENOME);
            const int32_t inputs = in.i32();
            const int32_t outputs = in.i32();
            const bool recurrent = in.flag();
            Network network = in.network();
            finish_state(in);
            if (inputs < 0 || outputs < 0) throw BadState("it has negative dimensions");
            if (network.size > 0 && (network.inputs != inputs || network.outputs != outputs ||
                                     network.recurrent != recurrent)) {
                throw BadState("its network does not fit its dimensions");
            }
            PyRef object(new_instance(cls, &GenomeType));
            if (!object) return nullptr;
            auto* genome = reinterpret_cast<GenomeObject*>(object.get());
            genome->inputs = inputs;
            genome->outputs = outputs;
            genome->recurrent = recurrent;
            genome->network = std::move(network);
            return object.release();
        }
        if (PyType_IsSubtype(type, &AlphaType)) {
            PickleReader in = open_state(state, KIND_ALPHA);
            const double rate = in.f64();
            finish_state(in);
            PyRef object(new_instance(cls, &AlphaType));
            if (!object) return nullptr;
            reinterpret_cast<AlphaObject*>(object.get())->mutation_rate = rate;
            return object.release();
        }
        if (PyType_IsSubtype(type, &BetaType)) {
            PickleReader in = open_state(state, KIND_BETA);
            BetaSettings settings;
            settings.mutation_power = in.f64();
            settings.mutation_rate = in.f64();
            settings.structure_rate = in.f64();
            settings.species = in.i32();
            settings.elitism = in.i32();
            // States written before the flag existed end here.
            if (in.position < in.size) settings.keep_output_activations = in.u8() != 0;
            finish_state(in);
            if (!beta_settings_error(settings).empty())
                throw BadState("its settings are out of range");
            PyRef object(new_instance(cls, &BetaType));
            if (!object) return nullptr;
            reinterpret_cast<BetaObject*>(object.get())->settings = settings;
            return object.release();
        }
        if (PyType_IsSubtype(type, &GammaType)) {
            PickleReader in = open_state(state, KIND_GAMMA);
            GammaSettings settings;
            settings.step_size = in.f64();
            settings.hidden_activation = in.i32();
            settings.restarts = in.flag();
            finish_state(in);
            if (!gamma_settings_error(settings).empty())
                throw BadState("its settings are out of range");
            PyRef object(new_instance(cls, &GammaType));
            if (!object) return nullptr;
            reinterpret_cast<GammaObject*>(object.get())->settings = settings;
            return object.release();
        }
    } catch (const BadState& e) {
        PyErr_Format(PyExc_ValueError, "Cannot restore a %s object: %s.", type->tp_name, e.what());
        return nullptr;
    } catch (...) {
        if (!PyErr_Occurred()) set_error_from_current_exception();
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError,
                 "_restore() needs a subclass of Model, Genome, Alpha, Beta or Gamma, got %R.",
                 cls);
    return nullptr;
}

}  // namespace tessavo
