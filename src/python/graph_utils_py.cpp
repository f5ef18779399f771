// Submodule graph_utils: thin forwarders to the mapping engine's layer-graph queries, for
// testing, debugging and validation. Arguments are positional only; a layer result is the
// model's own layer (or None).

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "backend/graph_utils.h"
#include "corelib/layer.h"
#include "python/held_list_py.h"
#include "python/registration_py.h"

namespace vorna::python {

void register_graph_utils(py::module_& m) {
    py::module_ g = m.def_submodule("graph_utils",
                                    "Vorna graph utilities software internal functions. These "
                                    "are meant for testing, debugging and validation only.");
    using LayerPtr = std::shared_ptr<Layer>;

    g.def("extract_main_branch",
          [](const LayerPtr& layer) { return get_skipconnect_branch(layer).first; });
    g.def("extract_skip_branch",
          [](const LayerPtr& layer) { return get_skipconnect_branch(layer).second; });
    g.def("get_mappable_layer", [](const LayerPtr& layer) { return get_mappable_layer(layer); });
    g.def("dual_output_to_store_dma",
          [](const LayerPtr& layer) { return is_dual_output_to_store_dma(layer); });
    g.def("first_mappable_layer",
          [](const HeldList<Layer>& layers) { return first_mappable_layer(layers); });
    g.def("last_mappable_layer",
          [](const HeldList<Layer>& layers) { return last_mappable_layer(layers); });
    g.def("next_mappable_layer", [](const LayerPtr& layer) { return next_mappable_layer(layer); });
    g.def("previous_mappable_layer",
          [](const LayerPtr& layer) { return previous_mappable_layer(layer); });
    g.def("is_merge_layer", [](const LayerPtr& layer) { return is_merge(layer); });
}

}  // namespace vorna::python
