"""torch.nn for varnel.zel: the functional namespace, modules, initialisers
and utilities, composed of the library's operations."""
import sys
import types


def inherit_docstrings(cls):
    """Overrides without a docstring of their own (extra_repr) take the one they override."""
    for name, fn in vars(cls).items():
        if name.startswith("_") or not callable(fn) or (fn.__doc__ or "").strip():
            continue
        for base in cls.__mro__[1:]:
            doc = getattr(getattr(base, name, None), "__doc__", None)
            if doc:
                fn.__doc__ = doc
                break


def install(zel):
    """Adds zel.nn (registered as varnel.zel.zel.nn) and its submodules to varnel.zel.zel."""
    from . import activation, containers, functional, init, layers, loss, module, parallel, utils

    nn = types.ModuleType(zel.__name__ + ".nn", "torch.nn for varnel.zel tensors.")
    nn.functional = functional.install(zel)
    nn.init = init.install(zel, nn.__name__)
    nn.utils = utils.install(zel, nn.__name__)
    public = {}
    for source in (module, containers, layers, activation, loss):
        public.update(source.install(zel))
    for name, obj in public.items():
        obj.__module__ = nn.__name__
        inherit_docstrings(obj)
        setattr(nn, name, obj)
    nn.parallel = types.ModuleType(nn.__name__ + ".parallel", "torch.nn.parallel for varnel.zel modules.")
    parallel.install(zel, nn)
    nn.__all__ = list(public)
    zel.nn = nn
    for m in (nn, nn.parallel):
        sys.modules[m.__name__] = m
