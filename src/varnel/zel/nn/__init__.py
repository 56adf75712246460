"""torch.nn for varnel.zel: the functional namespace, modules, initialisers
and utilities, composed of the library's operations."""
import sys
import types


def install(zel):
    """Adds zel.nn (registered as varnel.zel.zel.nn) and its submodules to varnel.zel.zel."""
    from . import functional

    nn = types.ModuleType(zel.__name__ + ".nn", "torch.nn for varnel.zel tensors.")
    nn.functional = functional.install(zel)
    zel.nn = nn
    sys.modules[nn.__name__] = nn
    # zel.distributed rides along until it has its own entry among the installed parts.
    from .. import distributed
    distributed.install(zel)
