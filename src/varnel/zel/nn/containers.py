"""torch.nn's containers: Sequential, ModuleList, ModuleDict, ParameterList
and ParameterDict, with PyTorch's indexing, naming and errors."""
import operator
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from itertools import chain, islice

from .module import Module
from . import module as _module


def is_tensor(v):
    return isinstance(v, _module._zel.Tensor)


def as_parameter(v):
    # Tensors put into parameter containers become Parameters, as in PyTorch.
    if is_tensor(v) and not isinstance(v, _module.Parameter):
        return _module.Parameter(v)
    return v


def index_of(idx, size):
    try:
        idx = operator.index(idx)
    except TypeError:
        raise TypeError("indices must be integers or slices, not %s" % type(idx).__name__) from None
    if not -size <= idx < size:
        raise IndexError("index {} is out of range".format(idx))
    return idx % size if size else idx


def without_digits(keys):
    return [k for k in keys if not k.isdigit()]


def torch_repr_uses_typename(cls):
    """PyTorch 1.13's ParameterDict printed the tensor type name where ParameterList printed the dtype."""
    import inspect
    import torch
    try:
        return "typename(p)" in inspect.getsource(getattr(torch.nn, cls).extra_repr)
    except (OSError, TypeError, AttributeError):
        return False


def tensor_line(k, p, cls):
    if is_tensor(p):
        size = "x".join(str(s) for s in p.shape)
        cuda = p.device.type == "cuda"
        device = "" if not cuda else " (GPU {})".format(p.device.index)
        dtype = p.dtype if not isinstance(p.dtype, str) else "torch." + p.dtype
        if torch_repr_uses_typename(cls):
            import torch
            dtype = torch.typename(torch.empty(0, dtype=getattr(torch, p.dtype, torch.float64)))
            dtype = dtype.replace("torch.", "torch.cuda.", 1) if cuda else dtype
        return "  ({}): {} containing: [{} of size {}{}]".format(
            k, "Parameter" if isinstance(p, _module.Parameter) else "Tensor", dtype, size, device)
    return "  ({}): Object of type: {}".format(k, type(p).__name__)


class Sequential(Module):
    """Calls its modules in order, each on the previous one's output. Built
    from modules (named '0', '1', ...) or from one OrderedDict of them."""

    def __init__(self, *args):
        super().__init__()
        if len(args) == 1 and isinstance(args[0], OrderedDict):
            for key, module in args[0].items():
                self.add_module(key, module)
        else:
            for idx, module in enumerate(args):
                self.add_module(str(idx), module)

    def _item_by_idx(self, iterator, idx):
        return next(islice(iterator, index_of(idx, len(self)), None))

    def __getitem__(self, idx):
        if isinstance(idx, slice):
            return type(self)(OrderedDict(list(self._modules.items())[idx]))
        return self._item_by_idx(self._modules.values(), idx)

    def __setitem__(self, idx, module):
        setattr(self, self._item_by_idx(self._modules.keys(), idx), module)

    def __delitem__(self, idx):
        if isinstance(idx, slice):
            for key in list(self._modules.keys())[idx]:
                delattr(self, key)
        else:
            delattr(self, self._item_by_idx(self._modules.keys(), idx))
        # Keeps the names 0..n-1, as PyTorch does.
        self._modules = OrderedDict(zip((str(i) for i in range(len(self._modules))), self._modules.values()))

    def __len__(self):
        return len(self._modules)

    def __iter__(self):
        return iter(self._modules.values())

    def __dir__(self):
        return without_digits(super().__dir__())

    def __add__(self, other):
        if not isinstance(other, Sequential):
            raise ValueError("add operator supports only objects of Sequential class, but {} is given."
                             .format(str(type(other))))
        ret = Sequential()
        for layer in chain(self, other):
            ret.append(layer)
        return ret

    def append(self, module):
        """Adds module at the end; returns self."""
        self.add_module(str(len(self)), module)
        return self

    def insert(self, index, module):
        """Puts module at index, moving the later ones up."""
        if not isinstance(module, Module):
            raise AssertionError("module should be of type: {}".format(Module))
        n = len(self._modules)
        if isinstance(index, bool) or not isinstance(index, int) or not -n <= index <= n:
            raise IndexError("Index out of range: {}".format(index))
        if index < 0:
            index += n
        for i in range(n, index, -1):
            self._modules[str(i)] = self._modules[str(i - 1)]
        self._modules[str(index)] = module
        return self

    def extend(self, sequential):
        """Appends every module of an iterable; returns self."""
        for layer in sequential:
            self.append(layer)
        return self

    def pop(self, key):
        """Removes and returns the module at key."""
        v = self[key]
        del self[key]
        return v

    def forward(self, input):
        """Each module on the previous one's output."""
        for module in self:
            input = module(input)
        return input


class ModuleList(Module):
    """A list of modules, registered as submodules '0', '1', ..."""

    def __init__(self, modules=None):
        super().__init__()
        if modules is not None:
            self += modules

    def _abs_index(self, idx):
        return str(index_of(idx, len(self)))

    def __getitem__(self, idx):
        if isinstance(idx, slice):
            return type(self)(list(self._modules.values())[idx])
        return self._modules[self._abs_index(idx)]

    def __setitem__(self, idx, module):
        setattr(self, self._abs_index(idx), module)

    def __delitem__(self, idx):
        if isinstance(idx, slice):
            for k in range(len(self._modules))[idx]:
                delattr(self, str(k))
        else:
            delattr(self, self._abs_index(idx))
        self._modules = OrderedDict(zip((str(i) for i in range(len(self._modules))), self._modules.values()))

    def __len__(self):
        return len(self._modules)

    def __iter__(self):
        return iter(self._modules.values())

    def __iadd__(self, modules):
        return self.extend(modules)

    def __add__(self, other):
        combined = ModuleList()
        for i, module in enumerate(chain(self, other)):
            combined.add_module(str(i), module)
        return combined

    def __dir__(self):
        return without_digits(super().__dir__())

    def __repr__(self):
        if not compresses_repeats():
            return super().__repr__()
        # PyTorch 2 prints runs of equal modules once.
        reprs = [repr(m) for m in self]
        if not reprs:
            return self._get_name() + "()"
        runs = []
        for i, r in enumerate(reprs):
            if runs and runs[-1][2] == r:
                runs[-1][1] = i
            else:
                runs.append([i, i, r])
        lines = []
        for start, end, r in runs:
            text = "({}): {}".format(start, r) if start == end else \
                "({}-{}): {} x {}".format(start, end, end - start + 1, r)
            lines.append(_module.addindent(text, 2))
        return self._get_name() + "(\n  " + "\n  ".join(lines) + "\n)"

    def insert(self, index, module):
        """Puts module before index."""
        index = operator.index(index)
        n = len(self._modules)
        if index < 0:
            index = max(index + n, 0)
        index = min(index, n)
        for i in range(n, index, -1):
            self._modules[str(i)] = self._modules[str(i - 1)]
        self._modules[str(index)] = None
        self.add_module(str(index), module)

    def append(self, module):
        """Adds module at the end; returns self."""
        self.add_module(str(len(self)), module)
        return self

    def pop(self, key):
        """Removes and returns the module at key."""
        v = self[key]
        del self[key]
        return v

    def extend(self, modules):
        """Appends every module of an iterable; returns self."""
        if not isinstance(modules, Iterable):
            raise TypeError("ModuleList.extend should be called with an iterable, but got " + type(modules).__name__)
        offset = len(self)
        for i, module in enumerate(modules):
            self.add_module(str(offset + i), module)
        return self


def compresses_repeats():
    import torch
    return "__repr__" in torch.nn.ModuleList.__dict__


def pairs_of(kind, items):
    """(key, value) pairs of an update() argument, with PyTorch's checks."""
    if not isinstance(items, Iterable):
        raise TypeError("%s.update should be called with an iterable of key/value pairs, but got %s"
                        % (kind, type(items).__name__))
    if isinstance(items, (OrderedDict, Module, Mapping)):
        if isinstance(items, Module) or isinstance(items, OrderedDict):
            return list(items.items())
        return list(items.items()) if kind == "ModuleDict" else sorted(items.items())
    out = []
    for j, m in enumerate(items):
        if not isinstance(m, Iterable):
            raise TypeError("%s update sequence element #%d should be Iterable; is%s" % (kind, j, type(m).__name__))
        m = list(m)
        if len(m) != 2:
            raise ValueError("%s update sequence element #%d has length %d; 2 is required" % (kind, j, len(m)))
        out.append((m[0], m[1]))
    return out


class ModuleDict(Module):
    """An ordered dict of modules, registered under their keys."""

    def __init__(self, modules=None):
        super().__init__()
        if modules is not None:
            self.update(modules)

    def __getitem__(self, key):
        return self._modules[key]

    def __setitem__(self, key, module):
        self.add_module(key, module)

    def __delitem__(self, key):
        del self._modules[key]

    def __len__(self):
        return len(self._modules)

    def __iter__(self):
        return iter(self._modules)

    def __contains__(self, key):
        return key in self._modules

    def clear(self):
        """Removes every module."""
        self._modules.clear()

    def pop(self, key):
        """Removes and returns the module under key."""
        v = self[key]
        del self[key]
        return v

    def keys(self):
        """The keys, in order."""
        return self._modules.keys()

    def items(self):
        """(key, module) pairs, in order."""
        return self._modules.items()

    def values(self):
        """The modules, in order."""
        return self._modules.values()

    def update(self, modules):
        """Adds the pairs of a mapping or an iterable of (key, module)."""
        if isinstance(modules, Mapping) and not isinstance(modules, (OrderedDict, ModuleDict)):
            modules = OrderedDict(modules.items())
        for key, module in pairs_of("ModuleDict", modules):
            self[key] = module


class ParameterList(Module):
    """A list of parameters (Tensors put in become Parameters; other objects are kept as they are)."""

    def __init__(self, values=None):
        super().__init__()
        self._size = 0
        if values is not None:
            self += values

    def _abs_index(self, idx):
        return str(index_of(idx, len(self)))

    def __getitem__(self, idx):
        if isinstance(idx, slice):
            out = type(self)()
            for i in range(*idx.indices(len(self))):
                out.append(self[i])
            return out
        return getattr(self, self._abs_index(idx))

    def __setitem__(self, idx, param):
        setattr(self, self._abs_index(idx), as_parameter(param))

    def __len__(self):
        return self._size

    def __iter__(self):
        return iter(self[i] for i in range(len(self)))

    def __iadd__(self, parameters):
        return self.extend(parameters)

    def __dir__(self):
        return without_digits(super().__dir__())

    def append(self, value):
        """Adds value at the end; returns self."""
        new_idx = len(self)
        self._size += 1
        self[new_idx] = value
        return self

    def extend(self, values):
        """Appends every value of an iterable; returns self."""
        if not isinstance(values, Iterable) or is_tensor(values):
            raise TypeError("ParameterList.extend should be called with an iterable, but got " + type(values).__name__)
        for value in values:
            self.append(value)
        return self

    def extra_repr(self):
        return "\n".join(tensor_line(k, p, "ParameterList") for k, p in enumerate(self))

    def __call__(self, *args, **kwargs):
        raise RuntimeError("ParameterList should not be called.")


class ParameterDict(Module):
    """An ordered dict of parameters under string keys (Tensors put in become Parameters)."""

    def __init__(self, parameters=None):
        super().__init__()
        self._keys = {}
        if parameters is not None:
            self.update(parameters)

    def _key_to_attr(self, key):
        if not isinstance(key, str):
            raise TypeError("Index given to ParameterDict cannot be used as a key as it is not a string (type is "
                            "'{}'). Open an issue on github if you need non-string keys.".format(type(key).__name__))
        return key

    def __getitem__(self, key):
        return getattr(self, self._key_to_attr(key))

    def __setitem__(self, key, value):
        attr = self._key_to_attr(key)
        setattr(self, attr, as_parameter(value))
        self._keys[key] = None

    def __delitem__(self, key):
        del self._keys[key]
        delattr(self, self._key_to_attr(key))

    def __len__(self):
        return len(self._keys)

    def __iter__(self):
        return iter(self._keys)

    def __reversed__(self):
        return reversed(list(self._keys))

    def __contains__(self, key):
        return key in self._keys

    def copy(self):
        """A new ParameterDict holding the same parameters."""
        return ParameterDict(OrderedDict((k, self[k]) for k in self._keys))

    def setdefault(self, key, default=None):
        """self[key], set to default first when absent."""
        if key not in self:
            self[key] = default
        return self[key]

    def clear(self):
        """Removes every entry."""
        for k in list(self._keys):
            del self[k]

    def pop(self, key):
        """Removes and returns the entry under key."""
        v = self[key]
        del self[key]
        return v

    def popitem(self):
        """Removes and returns the last (key, value)."""
        if not self._keys:
            raise KeyError("popitem(): dictionary is empty")
        k = next(reversed(list(self._keys)))
        v = self[k]
        del self[k]
        return k, v

    def get(self, key, default=None):
        """self[key], or default when absent."""
        return self[key] if key in self else default

    def fromkeys(self, keys, default=None):
        """A new ParameterDict with every key set to default."""
        return ParameterDict((k, default) for k in keys)

    def keys(self):
        """The keys, in order."""
        return self._keys.keys()

    def items(self):
        """(key, value) pairs, in order."""
        return ((k, self[k]) for k in self._keys)

    def values(self):
        """The values, in order."""
        return (self[k] for k in self._keys)

    def update(self, parameters):
        """Adds the pairs of a mapping (plain dicts sorted by key, as PyTorch) or an iterable of pairs."""
        for key, value in pairs_of("ParameterDict", parameters):
            self[key] = value

    def extra_repr(self):
        return "\n".join(tensor_line(k, p, "ParameterDict") for k, p in self.items())

    def __call__(self, input):
        raise RuntimeError("ParameterDict should not be called.")

    def __or__(self, other):
        copy = self.copy()
        copy.update(other)
        return copy

    def __ror__(self, other):
        copy = other.copy()
        copy.update(self)
        return copy

    def __ior__(self, other):
        self.update(other)
        return self


__all__ = ["Sequential", "ModuleList", "ModuleDict", "ParameterList", "ParameterDict"]


def install(zel):
    """Returns the public names (the library is reached through module.py)."""
    return {name: globals()[name] for name in __all__}
