"""Build the varnel.zel extension modules against the installed PyTorch.

The limb kernels (csrc/kernels/*.cpp) are torch- and Python-free: they are
compiled once, with the layout flags, by a ninja run of their own into
build/kernels/<variant>/, which both extensions link and every Python leg
reuses; it runs beside the compilation of the torch-facing files.

DEBUG=1 builds without optimisation and with debug info; ZEL_SANITIZE=1 adds
AddressSanitizer and UndefinedBehaviorSanitizer.
"""
import glob
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig

from setuptools import find_packages, setup
from torch.utils.cpp_extension import BuildExtension, CppExtension, include_paths

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "buildsys"))
from kernel_flags import ARITHMETIC, FILE_FLAGS, KERNEL_FLAGS  # noqa: E402

sys.path.insert(0, os.path.join(HERE, "tools"))
import gen_stubs  # noqa: E402

# zel.pyi is written from zel.pyi.in and the declarations on every build.
gen_stubs.write()


def sources(*patterns):
    found = []
    for pattern in patterns:
        found += sorted(glob.glob(os.path.join("csrc", pattern)))
    return found


def unity_sources(name, files, groups):
    """`files` compiled in `groups` files that include them: a binding file
    spends most of its compile time parsing pybind11 and ATen, once per group
    instead of once per file. The groups are written under build/unity
    (rewritten only when they change), balanced by size."""
    out_dir = os.path.join(HERE, "build", "unity")
    os.makedirs(out_dir, exist_ok=True)
    bins = [[] for _ in range(groups)]
    sizes = [0] * groups
    for f in sorted(files, key=os.path.getsize, reverse=True):
        i = sizes.index(min(sizes))
        bins[i].append(f)
        sizes[i] += os.path.getsize(f)
    out = []
    for i, members in enumerate(bins):
        text = "".join('#include "%s"\n' % os.path.relpath(m, "csrc") for m in sorted(members))
        path = os.path.join(out_dir, "%s_%d.cpp" % (name, i))
        old = open(path).read() if os.path.exists(path) else None
        if old != text:
            with open(path, "w") as f:
                f.write(text)
        out.append(os.path.relpath(path, HERE))
    return out


def cxx_standard():
    """C++17, or C++20 where the installed torch's headers demand it (2.x)."""
    with open(os.path.join(include_paths()[0], "ATen", "ATen.h")) as f:
        return "-std=c++20" if "C++20" in f.read() else "-std=c++17"


# The torch-facing files do arithmetic too: no contraction there either.
cxx_flags = [cxx_standard(), *ARITHMETIC]
# The kernels see no torch header: C++17 whatever torch asks for, so every
# leg compiles the same command (and ccache or the build folder serves both).
kernel_flags = ["-std=c++17", "-fPIC", "-fvisibility=hidden", *KERNEL_FLAGS]
link_flags = []
variant = "release"
if os.environ.get("DEBUG") == "1":
    cxx_flags += ["-O0", "-g"]
    kernel_flags += ["-O0", "-g"]
    variant = "debug"
else:
    cxx_flags += ["-O3", "-g0"]  # debug info triples the compile time of the torch headers
    kernel_flags += ["-O3", "-g0"]
if os.environ.get("ZEL_SANITIZE") == "1":
    sanitize = ["-O1", "-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-g"]
    cxx_flags += sanitize
    kernel_flags += sanitize
    link_flags += ["-fsanitize=address,undefined"]
    variant = "sanitize"
# The lane cores of the accurate functions, instrumented, take GCC's variable
# tracking a quarter of an hour with debug info; without it, minutes (the
# reports keep their function names).
SANITIZE_WITHOUT_DEBUG_INFO = {"accurate_lanes.cpp", "accurate_pow.cpp"}

# torch's and Python's headers as system headers: their warnings are not ours.
for path in include_paths() + [sysconfig.get_paths()["include"]]:
    cxx_flags += ["-isystem", path]

include_dirs = [os.path.join(HERE, "csrc")]

# The linear-algebra loops serve tarsk only; tarsk needs no other loop of
# the tensor layer, just its limb-array helpers and the shared conversions,
# which it links from zel's build (they do not depend on the module's name).
tarsk_linalg = sources("tensor/linalg/tarsk.cpp")
shared_sources = sources("tensor/core/limb_tensor.cpp", "tensor/core/parallel.cpp", "tensor/core/checks.cpp",
                         "python/shared/*.cpp")
# The tensor files stay apart: in one large unit GCC reaches its inlining
# limits and the small-tensor paths lose 5-8 %.
zel_sources = [s for s in sources("tensor/*/*.cpp") if s not in tarsk_linalg + shared_sources]
zel_sources += unity_sources("zel", sources("python/zel/*.cpp"), groups=4) + shared_sources
tarsk_sources = sources("python/tarsk/*.cpp")
kernel_sources = sources("kernels/defined_exp.cpp", "kernels/defined_sigmoid.cpp", "kernels/defined_tanh.cpp",
                         "kernels/defined_log.cpp", "kernels/defined_gelu.cpp", "kernels/defined_roots.cpp")
kernel_sources += [s for s in sources("kernels/*.cpp") if s not in kernel_sources]
kernel_dir = os.path.join(HERE, "build", "kernels", variant)
kernel_library = os.path.join(kernel_dir, "libzel_kernels.a")

ext_modules = [
    CppExtension(
        "varnel.zel.zel",
        zel_sources,
        include_dirs=include_dirs,
        extra_compile_args={"cxx": cxx_flags},
        extra_objects=[kernel_library],
        extra_link_args=link_flags,
    )
]
if tarsk_sources:
    ext_modules.append(
        CppExtension(
            "varnel.zel.tarsk",
            tarsk_sources + tarsk_linalg,
            include_dirs=include_dirs,
            extra_compile_args={"cxx": cxx_flags},
            extra_objects=[kernel_library],
            extra_link_args=link_flags,
        )
    )


def write_kernel_ninja():
    """build.ninja for the kernel archive; ninja rebuilds only what changed."""
    cxx = os.environ.get("CXX", "c++")
    flags = " ".join(shlex.quote(f) for f in kernel_flags + ["-I" + os.path.join(HERE, "csrc")])
    lines = [
        "ninja_required_version = 1.3",
        f"cxx = {cxx}",
        f"cflags = {flags}",
        "rule compile",
        "  command = $cxx -MMD -MF $out.d $cflags $extra -c $in -o $out",
        "  depfile = $out.d",
        "  deps = gcc",
        "  description = kernel $in",
        "rule archive",
        "  command = rm -f $out && ar rcs $out $in",
        "  description = archive $out",
    ]
    objects = []
    for src in kernel_sources:
        obj = os.path.splitext(os.path.basename(src))[0] + ".o"
        objects.append(obj)
        lines.append(f"build {obj}: compile {os.path.join(HERE, src)}")
        extra = list(FILE_FLAGS.get(os.path.basename(src), []))
        if variant == "sanitize" and os.path.basename(src) in SANITIZE_WITHOUT_DEBUG_INFO:
            extra.append("-g0")
        if extra:
            lines.append("  extra = " + " ".join(extra))
    lines.append(f"build libzel_kernels.a: archive {' '.join(objects)}")
    os.makedirs(kernel_dir, exist_ok=True)
    text = "\n".join(lines) + "\n"
    path = os.path.join(kernel_dir, "build.ninja")
    old = open(path).read() if os.path.exists(path) else None
    if old != text:
        with open(path, "w") as f:
            f.write(text)


def start_kernel_build():
    ninja = shutil.which("ninja")
    if ninja is None:
        sys.exit("building varnel.zel needs ninja (pip install ninja, or apt-get install ninja-build)")
    write_kernel_ninja()
    jobs = os.environ.get("MAX_JOBS") or str(os.cpu_count() or 1)
    return subprocess.Popen([ninja, "-C", kernel_dir, "-j", jobs])


class BuildExtensionsApart(BuildExtension.with_options(use_ninja=True)):
    """Builds each extension in its own temporary folder (ninja's record of
    one would otherwise make it rebuild the other's objects); tarsk links
    the shared sources' objects of zel, which is built first. The kernel
    archive compiles meanwhile; the links wait until every object of both
    extensions and the archive are compiled."""

    kernel_build = None

    def run(self):
        self.kernel_build = start_kernel_build()
        try:
            super().run()
        finally:
            self.wait_for_kernels()

    def wait_for_kernels(self):
        if self.kernel_build is not None:
            code = self.kernel_build.wait()
            self.kernel_build = None
            if code != 0:
                sys.exit("building the limb kernels failed (see the compiler output above)")

    def build_extensions(self):
        link = self.compiler.link_shared_object
        pending = []
        self.compiler.link_shared_object = lambda *args, **kwargs: pending.append((args, kwargs))
        try:
            super().build_extensions()
        finally:
            self.compiler.link_shared_object = link
        self.wait_for_kernels()
        for args, kwargs in pending:
            link(*args, **kwargs)

    def build_extension(self, ext):
        shared_temp = self.build_temp
        self.build_temp = os.path.join(shared_temp, ext.name.rpartition(".")[2])
        if ext.name == "varnel.zel.tarsk":
            zel_temp = os.path.join(shared_temp, "zel")
            ext.extra_objects = self.compiler.object_filenames(shared_sources, output_dir=zel_temp) + [kernel_library]
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
