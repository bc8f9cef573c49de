// corvane.circuit.stratum: the abstract base class of every pass.
#include "common/pyfunction.hpp"

namespace nb = nanobind;
using namespace corvane::bind;

namespace {

constexpr const char* kModuleDoc =
    "This module contains the TranspilerPass class, an abstract base class for defining "
    "transpiler passes that transform or optimize quantum circuits. Subclasses must implement "
    "the run method to process QuantumCircuit objects.";

constexpr const char* kClassDoc =
    "Abstract base class for defining transpiler passes that transform or optimize quantum "
    "circuits.";

constexpr const char* kRunDoc =
    "Execute the transpiler pass on a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The quantum circuit to be processed by this transpiler pass.\n";

}  // namespace

NB_MODULE(stratum, m) {
    m.doc() = kModuleDoc;
    nb::module_ abc = nb::module_::import_("abc");
    m.attr("ABC") = abc.attr("ABC");
    m.attr("abstractmethod") = abc.attr("abstractmethod");
    m.attr("QuantumCircuit") =
        nb::module_::import_("corvane.circuit.quantumcircuit").attr("QuantumCircuit");

    nb::object init =
        make_function(m, {
                             .name = "__init__",
                             .qualname = method_qualname("TranspilerPass", "__init__"),
                             .params = {{"self"}},
                             .body = [](Args) { return nb::none(); },
                         });
    nb::object run = make_function(m, {
                                          .name = "run",
                                          .qualname = method_qualname("TranspilerPass", "run"),
                                          .doc = kRunDoc,
                                          .params = {{"self"}, {"qc"}},
                                          .annotations = {{"qc", "QuantumCircuit"}},
                                          .abstract = true,
                                          .body = [](Args) { return nb::none(); },
                                      });
    m.attr("TranspilerPass") =
        make_class(abc.attr("ABCMeta"), m, "TranspilerPass", nb::make_tuple(abc.attr("ABC")),
                   kClassDoc, {{"__init__", init}, {"run", run}});
}
