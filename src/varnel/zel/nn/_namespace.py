"""The namespace modules of zel.nn (functional, init, utils): the functions
of a source module under the name PyTorch gives them, registered so that
imports by that name work."""
import sys
import types


def namespace(name, doc, source, public, extra=()):
    """A module `name` holding source's functions listed in public (its
    __all__) and extra (reachable, not exported)."""
    mod = types.ModuleType(name, doc)
    for attr in list(public) + list(extra):
        fn = getattr(source, attr)
        fn.__module__ = name
        setattr(mod, attr, fn)
    mod.__all__ = list(public)
    sys.modules[name] = mod
    return mod
