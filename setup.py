"""Build the varnel.zel extension modules against the installed PyTorch.

DEBUG=1 builds without optimisation and with debug info; ZEL_SANITIZE=1 adds
AddressSanitizer and UndefinedBehaviorSanitizer.
"""
import glob
import os
import sys
import sysconfig

from setuptools import find_packages, setup
from torch.utils.cpp_extension import BuildExtension, CppExtension, include_paths

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "buildsys"))
from kernel_flags import KERNEL_FLAGS  # noqa: E402


def sources(*patterns):
    found = []
    for pattern in patterns:
        found += sorted(glob.glob(os.path.join("csrc", pattern)))
    return found


def cxx_standard():
    """C++17, or C++20 where the installed torch's headers demand it (2.x)."""
    with open(os.path.join(include_paths()[0], "ATen", "ATen.h")) as f:
        return "-std=c++20" if "C++20" in f.read() else "-std=c++17"


cxx_flags = [cxx_standard(), *KERNEL_FLAGS]
link_flags = []
if os.environ.get("DEBUG") == "1":
    cxx_flags += ["-O0", "-g"]
else:
    cxx_flags += ["-O3", "-g0"]  # debug info triples the compile time of the torch headers
if os.environ.get("ZEL_SANITIZE") == "1":
    cxx_flags += ["-O1", "-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-g"]
    link_flags += ["-fsanitize=address,undefined"]

# torch's and Python's headers as system headers: their warnings are not ours.
for path in include_paths() + [sysconfig.get_paths()["include"]]:
    cxx_flags += ["-isystem", path]

include_dirs = [os.path.join(HERE, "csrc")]

# The linear-algebra loops serve tarsk only; tarsk needs no other loop of
# the tensor layer, just its limb-array helpers and the shared conversions.
linalg_sources = sources("tensor/linalg*.cpp")
zel_sources = [s for s in sources("tensor/*.cpp") if s not in linalg_sources]
zel_sources += sources("python/zel_*.cpp", "python/common_*.cpp")
tarsk_sources = sources("python/tarsk_*.cpp")

ext_modules = [
    CppExtension(
        "varnel.zel.zel",
        zel_sources,
        include_dirs=include_dirs,
        extra_compile_args={"cxx": cxx_flags},
        extra_link_args=link_flags,
    )
]
if tarsk_sources:
    ext_modules.append(
        CppExtension(
            "varnel.zel.tarsk",
            tarsk_sources + linalg_sources
            + sources("tensor/limb_tensor.cpp", "tensor/parallel.cpp", "tensor/checks.cpp", "python/common_*.cpp"),
            include_dirs=include_dirs,
            extra_compile_args={"cxx": cxx_flags},
            extra_link_args=link_flags,
        )
    )

class BuildExtensionsApart(BuildExtension.with_options(use_ninja=True)):
    """Builds each extension in its own temporary folder: both compile the
    shared sources, with different defines, and in one folder ninja would
    rebuild those objects for each module on every build."""

    def build_extension(self, ext):
        shared_temp = self.build_temp
        self.build_temp = os.path.join(shared_temp, ext.name.rpartition(".")[2])
        try:
            super().build_extension(ext)
        finally:
            self.build_temp = shared_temp


setup(
    name="varnel-zel",
    version="0.1.0",
    description="PyTorch-style tensors of 8-limb float64 expansions with exact TwoSum/TwoProduct arithmetic",
    package_dir={"": "src"},
    packages=find_packages("src"),
    package_data={"varnel.zel": ["*.pyi", "py.typed"]},
    ext_modules=ext_modules,
    cmdclass={"build_ext": BuildExtensionsApart},
    python_requires=">=3.9",
    install_requires=["torch>=1.13"],
    zip_safe=False,
)
