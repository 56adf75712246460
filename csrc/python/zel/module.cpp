// The core module varnel.zel.zel: module constants, the Tensor class and the
// module functions, registered area by area.
#include "python/zel/bindings.h"

namespace {

const char* kModuleDoc =
    "ZEL - KALDEN Error GPU Arithmetic\n"
    "\n"
    "Drop-in PyTorch replacement with exact arithmetic.\n"
    "\n"
    "Usage:\n"
    "    from zel import zel as torch\n"
    "\n"
    "All operations use TwoSum/TwoProduct for zero error accumulation.\n"
    "8 limbs x FP64 = 424 bits effective precision (~127 decimal digits).\n";

const char* kTensorDoc =
    "KALDEN Tensor - exact arithmetic with no floating point drift.\n"
    "\n"
    "Internally stores 8 limbs per element for error compensation.\n"
    "All operations use TwoSum/TwoProduct algorithms.";

// The public names in their export order; __all__ holds those that exist.
const char* kPublicNames[] = {
    "Tensor",      "tensor",    "from_limbs",  "zeros",         "ones",
    "randn",       "rand",      "arange",      "eye",           "linspace",
    "sum",         "mean",      "prod",        "min",           "max",
    "std",         "var",       "norm",        "argmin",        "argmax",
    "matmul",      "mm",        "mv",          "dot",           "bmm",
    "exp",         "log",       "sqrt",        "abs",           "sin",
    "cos",         "tan",       "tanh",        "sigmoid",       "floor",
    "ceil",        "round",     "clamp",       "relu",          "softmax",
    "log_softmax", "gelu",      "silu",        "reshape",       "transpose",
    "squeeze",     "unsqueeze", "stack",       "cat",           "split",
    "chunk",       "permute",   "repeat",      "where",         "isnan",
    "isinf",       "isfinite",  "manual_seed", "get_rng_state", "set_rng_state",
    "float32",     "float64",   "device",      "cuda",          "cpu"};

}  // namespace

PYBIND11_MODULE(zel, m) {
  using namespace zel;
  m.doc() = kModuleDoc;
  register_errors();

  py::module_ torch = py::module_::import("torch");
  py::module_ typing = py::module_::import("typing");
  m.attr("_torch") = torch;
  for (const char* name : {"List", "Optional", "Union", "Tuple"}) m.attr(name) = typing.attr(name);
  m.attr("math") = py::module_::import("math");
  m.attr("_hashlib") = py::module_::import("hashlib");
  m.attr("_builtins") = py::module_::import("builtins");
  install_chunk_runner();
  m.def("_parallel_width", &last_parallel_width,
        "Threads that ran a chunk of the latest parallel loop (for tests).");

  const bool has_cuda = torch.attr("cuda").attr("is_available")().cast<bool>();
  set_default_device(has_cuda ? at::Device("cuda") : at::Device(at::kCPU));
  m.attr("_DEVICE") = has_cuda ? "cuda" : "cpu";
  m.attr("_DTYPE") = torch.attr("float64");
  m.attr("_NUM_LIMBS") = limbs::kLimbs;
  m.attr("_SPLIT_FACTOR") = limbs::kSplitFactor;
  m.attr("float32") = "float32";
  m.attr("float64") = "float64";

  // Argument errors worded as for a Python function `def device(dev)`.
  m.def(
      "device",
      [](py::args args, py::kwargs kwargs) -> py::object {
        for (auto item : kwargs) {
          const std::string key = py::str(item.first).cast<std::string>();
          if (key != "dev")
            throw TypeError("device() got an unexpected keyword argument '" + key + "'");
        }
        if (!kwargs.empty()) {
          if (!args.empty()) throw TypeError("device() got multiple values for argument 'dev'");
          return kwargs["dev"];
        }
        if (args.size() == 1) return args[0];
        if (args.empty()) throw TypeError("device() missing 1 required positional argument: 'dev'");
        throw TypeError("device() takes 1 positional argument but " + std::to_string(args.size()) +
                        " were given");
      },
      "Return the device argument unchanged.");
  py::cpp_function is_available(
      [] { return py::module_::import("torch").attr("cuda").attr("is_available")(); },
      py::name("is_available"), "Whether PyTorch sees a CUDA device now.");
  py::dict cuda_members;
  cuda_members["is_available"] = is_available;
  cuda_members["__doc__"] = "CUDA availability, as torch.cuda.";
  py::object cuda_class =
      py::module_::import("builtins").attr("type")("cuda", py::tuple(), cuda_members);
  m.attr("cuda") = cuda_class();
  m.attr("cpu") = "cpu";

  // torch.special: the declared rows marked Special and the accurate functions add to it.
  m.attr("special") = py::module_::import("types").attr("SimpleNamespace")();

  Module zm(m);
  TensorClass cls(m, "Tensor", kTensorDoc);
  bind_tensor_class(zm, cls);
  bind_operators(cls);
  // The callables that send complex operands to varnel.zel._complex; the type stays unexported.
  m.attr("_complex_dispatch") = py::cpp_function(
      [type = complex_dispatch_type()](py::object orig, py::object form, bool first) {
        return type(orig, form, first);
      },
      py::name("_complex_dispatch"), py::arg("orig"), py::arg("form"), py::arg("first") = false,
      "orig, or form where an operand is complex: checked first (first=True) or after orig "
      "refuses.");
  bind_pointwise(zm, cls);
  bind_reduce(zm, cls);
  bind_contract(zm, cls);
  bind_shape(zm, cls);
  bind_factory(zm, cls);
  bind_protocol(zm, cls);
  bind_accurate(zm, cls);
  bind_selftest(zm);
  bind_rearrange(zm, cls);
  bind_index_tools(zm, cls);
  bind_autograd(zm, cls);

  // The namespaces, constants and switches of PyTorch that are plain Python.
  for (const char* part : {"varnel.zel._dtypes", "varnel.zel._precision", "varnel.zel._operators",
                           "varnel.zel._masked", "varnel.zel.autograd", "varnel.zel.func"})
    py::module_::import(part).attr("install")(m);
  bind_linalg(zm);
  // After linalg: the composites add its *_ex names and build on it.
  py::module_::import("varnel.zel._composites").attr("install")(m);
  // Wraps compiled names, linalg's among them.
  py::module_::import("varnel.zel._conventions").attr("install")(m);
  // Compositions of everything above: strided views, sampling, numeric helpers, windows,
  // distributions, optimizers, saving, neural networks, collectives.
  for (const char* part : {"varnel.zel._layout", "varnel.zel._random", "varnel.zel._numeric",
                           "varnel.zel._windows", "varnel.zel.distributions", "varnel.zel.optim",
                           "varnel.zel._serialization", "varnel.zel.nn", "varnel.zel.distributed",
                           "varnel.zel._complex", "varnel.zel._complex_linalg", "varnel.zel.fft"})
    py::module_::import(part).attr("install")(m);

  py::list all;
  for (const char* name : kPublicNames)
    if (py::hasattr(m, name)) all.append(name);
  m.attr("__all__") = all;
}
