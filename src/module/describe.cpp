#include "module/describe.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "module/compile.hpp"
#include "module/genome.hpp"
#include "module/model.hpp"
#include "module/optimizers.hpp"
#include "module/pyref.hpp"
#include "training/losses.hpp"

namespace tessavo {

namespace {

// "tessavo.Model" for the type itself; module and qualified name for a
// Python subclass, as Python's own repr names it.
PyRef type_name(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return PyRef(PyUnicode_FromString(type->tp_name));
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (!module || !qualname) return PyRef();
    if (PyUnicode_Check(module.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), "builtins")) {
        return PyRef(PyUnicode_FromFormat("%U.%S", module.get(), qualname.get()));
    }
    return PyRef(PyUnicode_FromFormat("%S", qualname.get()));
}

std::string quoted(const char* name) {
    // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on "'" + name.
    std::string text(1, '\'');
    text.append(name);
    text.push_back('\'');
    return text;
}

const char* name_in(const char* const* names, int32_t count, int32_t code) {
    return code >= 0 && code < count ? names[code] : "?";
}

// "'mae', 'mape'" for codes (the codes the model holds are always known).
std::string name_list(const std::vector<int32_t>& codes, std::size_t from, const char* const* names,
                      int32_t count) {
    std::string text;
    for (std::size_t i = from; i < codes.size(); ++i) {
        if (i > from) text += ", ";
        text += quoted(name_in(names, count, codes[i]));
    }
    return text;
}

std::string format_double(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, 0, nullptr);
    if (!text) {
        // Only a failed allocation gets here; a shorter form will do.
        PyErr_Clear();
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, "%.17g", value);
        return fallback;
    }
    std::string result(text);
    PyMem_Free(text);
    return result;
}

std::string beta_arguments(const BetaSettings& s, const char* separator) {
    const std::string sep = separator;
    return "mutation_power=" + format_double(s.mutation_power) + sep +
           "mutation_rate=" + format_double(s.mutation_rate) + sep +
           "structure_rate=" + format_double(s.structure_rate) + sep +
           "species=" + std::to_string(s.species) + sep + "elitism=" + std::to_string(s.elitism) +
           (s.keep_output_activations ? sep + "keep_output_activations=True" : std::string());
}

std::string gamma_arguments(const GammaSettings& s, const char* separator) {
    const std::string sep = separator;
    const std::string hidden = s.hidden_activation < 0
                                   ? std::string("None")
                                   : quoted(activation_names[s.hidden_activation]);
    return "step_size=" + format_double(s.step_size) + sep + "hidden_activation=" + hidden + sep +
           "restarts=" + (s.restarts ? "True" : "False");
}

std::string compile_settings(const ModelObject* model, const char* separator) {
    std::string text;
    if (model->loss_set) {
        text += std::string(separator) + "loss=" + quoted(loss_names[model->codes[0]]);
    }
    const std::size_t first_metric = model->loss_set ? 1 : 0;
    if (model->codes.size() > first_metric) {
        text += std::string(separator) + "metrics=[" +
                name_list(model->codes, first_metric, loss_names, loss_count) + "]";
    }
    if (!model->monitors.empty()) {
        text += std::string(separator) + "monitors=[" +
                name_list(model->monitors, 0, monitor_names, monitor_count) + "]";
    }
    return text;
}

enum NodeKind { KIND_INPUT, KIND_HIDDEN, KIND_OUTPUT };
constexpr const char* kind_names[] = {"input", "hidden", "output"};

NodeKind kind_of(const Network& network, int32_t node) {
    if (node < network.inputs) return KIND_INPUT;
    if (node >= network.size - network.outputs) return KIND_OUTPUT;
    return KIND_HIDDEN;
}

struct KindCounts {
    long long nodes = 0;
    long long links_in = 0;
    long long links_out = 0;
    std::array<long long, activation_count + 1> activations{};  // last: unknown codes
};

std::string summary_text(const ModelObject* model, const std::string& name) {
    const Network& network = model->network;
    std::array<KindCounts, 3> kinds{};
    long long links = 0;
    for (int32_t node = 0; node < network.size; ++node) {
        KindCounts& counts = kinds[kind_of(network, node)];
        ++counts.nodes;
        const int32_t code = network.activations[node];
        ++counts.activations[code >= 0 && code < activation_count ? code : activation_count];
    }
    for (int32_t to = 0; to < network.size; ++to) {
        for (int32_t from = 0; from < network.size; ++from) {
            if (!has_link(network, from, to)) continue;
            ++links;
            ++kinds[kind_of(network, from)].links_out;
            ++kinds[kind_of(network, to)].links_in;
        }
    }

    const std::string rule(72, '_');
    const std::string double_rule(72, '=');
    std::string text =
        "Model: " + name + ", " + (model->recurrent ? "recurrent" : "feed-forward") + "\n";
    text += rule + "\n";
    text += " Nodes      Count   Connections in   Connections out   Activations\n";
    text += double_rule + "\n";
    for (int kind = 0; kind < 3; ++kind) {
        const KindCounts& counts = kinds[kind];
        // An input node passes its input on: its activation is never applied.
        std::string used;
        if (kind == KIND_INPUT) {
            used = "-";
        } else {
            for (int32_t code = 0; code <= activation_count; ++code) {
                if (counts.activations[code] == 0) continue;
                if (!used.empty()) used += ", ";
                used += std::string(code < activation_count ? activation_names[code] : "unknown") +
                        " " + std::to_string(counts.activations[code]);
            }
            if (used.empty()) used = "-";
        }
        char row[64];
        std::snprintf(row, sizeof row, " %-8s%8lld%17lld%18lld   ", kind_names[kind], counts.nodes,
                      counts.links_in, counts.links_out);
        text += row;
        text += used;
        text += '\n';
    }
    text += double_rule + "\n";
    const long long biases = network.size - network.inputs;
    text += "Total nodes: " + std::to_string(network.size) + "\n";
    text += "Total connections: " + std::to_string(links) + "\n";
    text += "Parameters: " + std::to_string(links + biases) + " (" + std::to_string(links) +
            " weights, " + std::to_string(biases) + " biases)\n";
    if (model->compiled) {
        text += "Compiled: optimizer=" + optimizer_summary(model->optimizer) +
                compile_settings(model, ", ") + "\n";
    } else {
        text += "Not compiled.\n";
    }
    text += rule + "\n";
    return text;
}

// Graphviz DOT text of the network. A link from a node to itself or to an
// earlier node reads the previous step's value: drawn dashed, and left out
// of the ranking so that inputs stay left and outputs right.
std::string dot_text(const Network& network, bool show_weights, const char* rankdir) {
    char line[256];
    std::string text = "digraph tessavo {\n";
    text += std::string("  rankdir=") + rankdir + ";\n";
    text += "  node [shape=circle, style=filled, fontname=\"Helvetica\", fontsize=10];\n";
    text += "  edge [arrowsize=0.6];\n";
    constexpr const char* fills[] = {"#d9e8f5", "#f2f2f2", "#fde3c8"};
    for (int32_t node = 0; node < network.size; ++node) {
        const NodeKind kind = kind_of(network, node);
        const int32_t code = network.activations[node];
        const char* activation =
            code >= 0 && code < activation_count ? activation_names[code] : "unknown";
        if (kind == KIND_INPUT) {
            std::snprintf(line, sizeof line,
                          "  n%d [label=\"input %d\", shape=box, fillcolor=\"%s\"];\n", node, node,
                          fills[kind]);
        } else if (kind == KIND_OUTPUT) {
            std::snprintf(line, sizeof line,
                          "  n%d [label=\"output %d\\n%s\", shape=doublecircle, "
                          "fillcolor=\"%s\"];\n",
                          node, node - (network.size - network.outputs), activation, fills[kind]);
        } else {
            std::snprintf(line, sizeof line, "  n%d [label=\"%d\\n%s\", fillcolor=\"%s\"];\n", node,
                          node, activation, fills[kind]);
        }
        text += line;
    }
    // Inputs first and outputs last, each in index order (top to bottom, or
    // left to right with rankdir TB): dot orders the nodes of a rank only to
    // cross fewer edges, so an invisible chain fixes it.
    for (int kind : {KIND_INPUT, KIND_OUTPUT}) {
        const int32_t first = kind == KIND_INPUT ? 0 : network.size - network.outputs;
        const int32_t count = kind == KIND_INPUT ? network.inputs : network.outputs;
        if (count <= 0) continue;
        text += kind == KIND_INPUT ? "  { rank=source;" : "  { rank=sink;";
        for (int32_t node = first; node < first + count; ++node) {
            text += " n" + std::to_string(node) + ";";
        }
        if (count > 1) {
            text += " ";
            for (int32_t node = first; node < first + count; ++node) {
                text += (node > first ? " -> n" : "n") + std::to_string(node);
            }
            text += " [style=invis];";
        }
        text += " }\n";
    }
    double largest = 0.0;
    for (int32_t to = 0; to < network.size; ++to) {
        for (int32_t from = 0; from < network.size; ++from) {
            const double w = std::fabs(weight(network, from, to));
            if (has_link(network, from, to) && std::isfinite(w)) largest = std::max(largest, w);
        }
    }
    for (int32_t from = 0; from < network.size; ++from) {
        for (int32_t to = 0; to < network.size; ++to) {
            if (!has_link(network, from, to)) continue;
            const double w = weight(network, from, to);
            const double magnitude = std::fabs(w);
            const double share = !std::isfinite(magnitude) ? 1.0
                                 : largest > 0.0           ? magnitude / largest
                                                           : 0.0;
            const char* colour = std::signbit(w) ? "#d62728" : "#1f77b4";
            const double width = 0.5 + 3.5 * share;
            if (show_weights && from < to) {
                // The weight in a small node of its own on the edge: dot routes
                // every edge around it, so no line crosses the number.
                std::snprintf(line, sizeof line,
                              "  w%d_%d [label=\"%.3g\", shape=plaintext, fontsize=8, "
                              "fontcolor=\"%s\", fillcolor=\"white\", width=0, height=0, "
                              "margin=0.02];\n",
                              from, to, w, colour);
                text += line;
                std::snprintf(line, sizeof line,
                              "  n%d -> w%d_%d [color=\"%s\", penwidth=%.2f, arrowhead=none];\n"
                              "  w%d_%d -> n%d [color=\"%s\", penwidth=%.2f];\n",
                              from, from, to, colour, width, from, to, to, colour, width);
                text += line;
                continue;
            }
            std::snprintf(line, sizeof line, "  n%d -> n%d [color=\"%s\", penwidth=%.2f", from, to,
                          colour, width);
            text += line;
            if (from >= to) text += ", style=dashed, constraint=false";
            if (show_weights) {
                // Loops and backward edges keep a plain label: as nodes, their
                // weights would be ranked away from the edge.
                std::snprintf(line, sizeof line, ", label=\"%.3g\", fontsize=8, fontcolor=\"%s\"",
                              w, colour);
                text += line;
            }
            text += "];\n";
        }
    }
    text += "}\n";
    return text;
}

PyObject* to_dot(const Network& network, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"show_weights", "rankdir", nullptr};
    int show_weights = 0;
    const char* rankdir = "LR";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$ps:to_dot", const_cast<char**>(keywords),
                                     &show_weights, &rankdir)) {
        return nullptr;
    }
    const char* const directions[] = {"TB", "LR", "BT", "RL"};
    if (std::none_of(std::begin(directions), std::end(directions),
                     [&](const char* d) { return std::strcmp(d, rankdir) == 0; })) {
        PyErr_Format(PyExc_ValueError, "rankdir must be 'TB', 'LR', 'BT' or 'RL', got '%s'.",
                     rankdir);
        return nullptr;
    }
    std::string text;
    try {
        text = dot_text(network, show_weights != 0, rankdir);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

PyObject* model_to_dot(PyObject* self, PyObject* args, PyObject* kwargs) {
    return to_dot(reinterpret_cast<ModelObject*>(self)->network, args, kwargs);
}

PyObject* genome_to_dot(PyObject* self, PyObject* args, PyObject* kwargs) {
    return to_dot(reinterpret_cast<GenomeObject*>(self)->network, args, kwargs);
}

PyObject* model_repr(PyObject* self) {
    auto* model = reinterpret_cast<ModelObject*>(self);
    PyRef name = type_name(self);
    if (!name) return nullptr;
    std::string details = model->recurrent ? " recurrent" : " feed-forward";
    if (model->compiled) {
        details += " compiled" + compile_settings(model, " ");
    } else {
        details += " uncompiled";
    }
    return PyUnicode_FromFormat("<%U inputs=%d outputs=%d size=%d%s>", name.get(), model->inputs,
                                model->outputs, model->size, details.c_str());
}

PyObject* genome_repr(PyObject* self) {
    auto* genome = reinterpret_cast<GenomeObject*>(self);
    PyRef name = type_name(self);
    if (!name) return nullptr;
    return PyUnicode_FromFormat("<%U inputs=%d outputs=%d size=%d %s>", name.get(), genome->inputs,
                                genome->outputs, genome->network.size,
                                genome->recurrent ? "recurrent" : "feed-forward");
}

PyObject* alpha_repr(PyObject* self) {
    PyRef name = type_name(self);
    if (!name) return nullptr;
    const std::string rate = format_double(reinterpret_cast<AlphaObject*>(self)->mutation_rate);
    return PyUnicode_FromFormat("<%U mutation_rate=%s>", name.get(), rate.c_str());
}

std::string alpha_summary(PyObject* self) {
    return "Alpha(mutation_rate=" +
           format_double(reinterpret_cast<AlphaObject*>(self)->mutation_rate) + ")";
}

std::string beta_summary(PyObject* self) {
    return "Beta(" + beta_arguments(reinterpret_cast<BetaObject*>(self)->settings, ", ") + ")";
}

PyObject* beta_repr(PyObject* self) {
    PyRef name = type_name(self);
    if (!name) return nullptr;
    const std::string arguments =
        beta_arguments(reinterpret_cast<BetaObject*>(self)->settings, " ");
    return PyUnicode_FromFormat("<%U %s>", name.get(), arguments.c_str());
}

std::string gamma_summary(PyObject* self) {
    return "Gamma(" + gamma_arguments(reinterpret_cast<GammaObject*>(self)->settings, ", ") + ")";
}

PyObject* gamma_repr(PyObject* self) {
    PyRef name = type_name(self);
    if (!name) return nullptr;
    const std::string arguments =
        gamma_arguments(reinterpret_cast<GammaObject*>(self)->settings, " ");
    return PyUnicode_FromFormat("<%U %s>", name.get(), arguments.c_str());
}

PyObject* model_summary(PyObject* self, PyObject*) {
    PyRef name = type_name(self);
    if (!name) return nullptr;
    const char* name_text = PyUnicode_AsUTF8(name.get());
    if (!name_text) return nullptr;
    std::string text;
    try {
        text = summary_text(reinterpret_cast<ModelObject*>(self), name_text);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    // Through sys.stdout, like print, so notebooks and redirections see it.
    PyObject* out = PySys_GetObject("stdout");
    if (!out || out == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return nullptr;
    }
    PyRef keep = PyRef::borrow(out);
    PyRef line(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!line || PyFile_WriteObject(line.get(), out, Py_PRINT_RAW) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace tessavo
