"""nn.Module and nn.Parameter for Tensors of this library, with PyTorch's
contract: attribute routing, naming order, hooks, state dicts, modes."""
import functools
import inspect
import itertools
import weakref
from collections import OrderedDict, namedtuple
from collections.abc import Mapping

import torch


class _Library:
    """Stands for varnel.zel.zel until install() runs."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here
Parameter = None  # a subclass of the library's Tensor, made by install()


def typename(obj):
    """The name PyTorch's messages give an object's type."""
    if isinstance(obj, _zel.Tensor):
        return type(obj).__module__ + "." + type(obj).__name__
    return torch.typename(obj)


@functools.lru_cache(maxsize=None)
def zero_grad_sets_to_none():
    """PyTorch 2 changed zero_grad's default to set_to_none=True: the library follows the installed one."""
    try:
        return bool(inspect.signature(torch.nn.Module.zero_grad).parameters["set_to_none"].default)
    except (ValueError, TypeError, KeyError):
        return True


def make_parameter(Tensor):
    """Builds nn.Parameter over the library's Tensor class."""

    class Parameter(Tensor):
        """A Tensor that a Module registers as a parameter when assigned as an
        attribute. Parameter(t) shares t's limbs and is a new leaf that
        requires grad unless requires_grad=False."""

        __hash__ = object.__hash__  # by identity, as PyTorch's

        def __init__(self, data=None, requires_grad=True):
            if data is None:
                data = _zel.empty(0)
            elif isinstance(data, torch.Tensor):
                data = _zel.tensor(data)
            elif not isinstance(data, Tensor):
                raise TypeError("Parameter(): argument 'data' (position 1) must be Tensor, not %s"
                                % type(data).__name__)
            if not isinstance(requires_grad, bool):
                raise TypeError("Parameter(): argument 'requires_grad' must be bool, not %s"
                                % type(requires_grad).__name__)
            Tensor.__init__(self, _raw=data._data, _shape=data._shape, requires_grad=requires_grad)

        @property
        def data(self):
            """The same limbs as a Tensor outside autograd (PyTorch's .data)."""
            return Tensor(_raw=self._data, _shape=self._shape)

        @data.setter
        def data(self, value):
            if not isinstance(value, Tensor):
                raise TypeError("Parameter.data must be a Tensor, not %s" % type(value).__name__)
            self._data = value._data
            self._shape = value._shape

        def __repr__(self):
            return "Parameter containing:\n" + Tensor.__repr__(self)

        def __deepcopy__(self, memo):
            if id(self) in memo:
                return memo[id(self)]
            result = type(self)(self.data.clone(), self.requires_grad)
            memo[id(self)] = result
            return result

        def __reduce_ex__(self, proto):
            return (rebuild_parameter, (self.data.clone(), self.requires_grad))

    Parameter.__qualname__ = "Parameter"
    return Parameter


def rebuild_parameter(data, requires_grad):
    """Unpickles a Parameter."""
    return Parameter(data, requires_grad)


class RemovableHandle:
    """Removes the hook it was returned for (also as a context manager)."""

    next_id = 0

    def __init__(self, hooks_dict, *, extra_dict=None):
        self.hooks_dict_ref = weakref.ref(hooks_dict)
        self.id = RemovableHandle.next_id
        RemovableHandle.next_id += 1
        self.extra_dict_ref = () if extra_dict is None else (weakref.ref(extra_dict),)

    def remove(self):
        """Unregisters the hook; removing twice does nothing."""
        for ref in (self.hooks_dict_ref,) + self.extra_dict_ref:
            d = ref()
            if d is not None and self.id in d:
                del d[self.id]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()


class _IncompatibleKeys(namedtuple("IncompatibleKeys", ["missing_keys", "unexpected_keys"])):
    """What load_state_dict(strict=False) could not match."""

    __slots__ = ()

    def __repr__(self):
        if not self.missing_keys and not self.unexpected_keys:
            return "<All keys matched successfully>"
        return super().__repr__()

    __str__ = __repr__


def addindent(s, spaces):
    lines = s.split("\n")
    if len(lines) == 1:
        return s
    return lines[0] + "\n" + "\n".join(" " * spaces + line for line in lines[1:])


def is_float_dtype(dtype):
    if isinstance(dtype, str):
        dtype = getattr(torch, dtype, None)
        if not isinstance(dtype, torch.dtype):
            return True
    return dtype.is_floating_point or dtype.is_complex


def asked_dtype(args, kwargs):
    """The dtype a to() call names, if any (torch.dtype or the library's dtype strings)."""
    for v in list(args) + [kwargs.get("dtype")]:
        if isinstance(v, torch.dtype):
            return v
        if isinstance(v, str) and isinstance(getattr(torch, v, None), torch.dtype):
            return v
    return None


class Module:
    """Base class of every network: assigning a Parameter, a buffer Tensor or
    a Module as an attribute registers it; calling the module runs forward
    between its hooks."""

    dump_patches = False
    _version = 1
    training: bool
    call_super_init = False

    def __init__(self, *args, **kwargs):
        if kwargs:
            raise TypeError("%s.__init__() got an unexpected keyword argument '%s'"
                            % (type(self).__name__, next(iter(kwargs))))
        if args:
            raise TypeError("%s.__init__() takes 1 positional argument but %d were given"
                            % (type(self).__name__, len(args) + 1))
        d = self.__dict__
        d["training"] = True
        d["_parameters"] = OrderedDict()
        d["_buffers"] = OrderedDict()
        d["_non_persistent_buffers_set"] = set()
        d["_modules"] = OrderedDict()
        d["_forward_pre_hooks"] = OrderedDict()
        d["_forward_pre_hooks_with_kwargs"] = OrderedDict()
        d["_forward_hooks"] = OrderedDict()
        d["_forward_hooks_with_kwargs"] = OrderedDict()
        d["_state_dict_hooks"] = OrderedDict()
        d["_load_state_dict_pre_hooks"] = OrderedDict()

    def forward(self, *input):
        """The computation every subclass defines."""
        raise NotImplementedError('Module [%s] is missing the required "forward" function' % type(self).__name__)

    # ------------------------------------------------------------ registration

    def _check_initialised(self, what):
        if "_parameters" not in self.__dict__:
            raise AttributeError("cannot assign %s before Module.__init__() call" % what)

    def _check_name(self, kind, name, table):
        if not isinstance(name, str):
            raise TypeError("%s name should be a string. Got %s" % (kind, typename(name)))
        if "." in name:
            raise KeyError("%s name can't contain \".\"" % kind)
        if name == "":
            raise KeyError("%s name can't be empty string \"\"" % kind)
        if hasattr(self, name) and name not in table:
            raise KeyError("attribute '%s' already exists" % name)

    def register_buffer(self, name, tensor, persistent=True):
        """Adds a Tensor (or None) that is state but not a parameter; persistent
        buffers are part of the state dict."""
        self._check_initialised("buffer")
        self._check_name("buffer", name, self._buffers)
        if tensor is not None and not isinstance(tensor, _zel.Tensor):
            raise TypeError("cannot assign '%s' object to buffer '%s' (torch Tensor or None required)"
                            % (typename(tensor), name))
        self._buffers[name] = tensor
        if persistent:
            self._non_persistent_buffers_set.discard(name)
        else:
            self._non_persistent_buffers_set.add(name)

    def register_parameter(self, name, param):
        """Adds a Parameter (or None) under name."""
        self._check_initialised("parameter")
        self._check_name("parameter", name, self._parameters)
        if param is None:
            self._parameters[name] = None
            return
        if not isinstance(param, Parameter):
            raise TypeError("cannot assign '%s' object to parameter '%s' (torch.nn.Parameter or None required)"
                            % (typename(param), name))
        if param.grad_fn is not None:
            raise ValueError("Cannot assign non-leaf Tensor to parameter '{0}'. Model parameters must be created "
                             "explicitly. To express '{0}' as a function of another Tensor, compute the value in "
                             "the forward() method.".format(name))
        self._parameters[name] = param

    def add_module(self, name, module):
        """Adds a child module (or None) under name."""
        if not isinstance(module, Module) and module is not None:
            raise TypeError("%s is not a Module subclass" % typename(module))
        if "_modules" not in self.__dict__:
            raise AttributeError("cannot assign module before Module.__init__() call")
        if not isinstance(name, str):
            raise TypeError("module name should be a string. Got %s" % typename(name))
        if hasattr(self, name) and name not in self._modules:
            raise KeyError("attribute '%s' already exists" % name)
        if "." in name:
            raise KeyError("module name can't contain \".\", got: %s" % name)
        if name == "":
            raise KeyError("module name can't be empty string \"\"")
        self._modules[name] = module

    def register_module(self, name, module):
        """Alias of add_module."""
        self.add_module(name, module)

    def get_submodule(self, target):
        """The submodule at a dotted path ('' is the module itself)."""
        if not isinstance(target, str):
            raise TypeError("get_submodule(): target must be a str, not %s" % type(target).__name__)
        if target == "":
            return self
        mod = self
        for item in target.split("."):
            if not hasattr(mod, item):
                raise AttributeError(mod._get_name() + " has no attribute `" + item + "`")
            mod = getattr(mod, item)
            if not isinstance(mod, Module):
                raise AttributeError("`" + item + "` is not an nn.Module")
        return mod

    def get_parameter(self, target):
        """The parameter at a dotted path."""
        if not isinstance(target, str):
            raise TypeError("get_parameter(): target must be a str, not %s" % type(target).__name__)
        if not isinstance(target, str):
            raise TypeError("get_buffer(): target must be a str, not %s" % type(target).__name__)
        module_path, _, name = target.rpartition(".")
        mod = self.get_submodule(module_path)
        if not hasattr(mod, name):
            raise AttributeError(mod._get_name() + " has no attribute `" + name + "`")
        param = getattr(mod, name)
        if not isinstance(param, Parameter):
            raise AttributeError("`" + name + "` is not an nn.Parameter")
        return param

    def get_buffer(self, target):
        """The buffer at a dotted path."""
        module_path, _, name = target.rpartition(".")
        mod = self.get_submodule(module_path)
        if not hasattr(mod, name):
            raise AttributeError(mod._get_name() + " has no attribute `" + name + "`")
        if name not in mod._buffers:
            raise AttributeError("`" + name + "` is not a buffer")
        return getattr(mod, name)

    def get_extra_state(self):
        """State beyond parameters and buffers; override with set_extra_state."""
        raise RuntimeError("Reached a code path in Module.get_extra_state() that should never be called. "
                           "Please file an issue at https://github.com/pytorch/pytorch/issues/new?template=bug-report.yml "
                           "to report this bug.")

    def set_extra_state(self, state):
        """Restores what get_extra_state returned."""
        raise RuntimeError("Reached a code path in Module.set_extra_state() that should never be called. "
                           "Please file an issue at https://github.com/pytorch/pytorch/issues/new?template=bug-report.yml "
                           "to report this bug.")

    def _has_extra_state(self):
        return type(self).get_extra_state is not Module.get_extra_state

    # ------------------------------------------------------------ attributes

    def __getattr__(self, name):
        d = self.__dict__
        for table in ("_parameters", "_buffers", "_modules"):
            if table in d and name in d[table]:
                return d[table][name]
        raise AttributeError("'%s' object has no attribute '%s'" % (type(self).__name__, name))

    def __setattr__(self, name, value):
        d = self.__dict__

        def remove_from(*tables):
            for t in tables:
                if name in t:
                    if isinstance(t, dict):
                        del t[name]
                    else:
                        t.discard(name)

        params = d.get("_parameters")
        if Parameter is not None and isinstance(value, Parameter):
            if params is None:
                raise AttributeError("cannot assign parameters before Module.__init__() call")
            remove_from(d, self._buffers, self._modules, self._non_persistent_buffers_set)
            self.register_parameter(name, value)
        elif params is not None and name in params:
            if value is not None:
                raise TypeError("cannot assign '%s' as parameter '%s' (torch.nn.Parameter or None expected)"
                                % (typename(value), name))
            self.register_parameter(name, value)
        else:
            modules = d.get("_modules")
            if isinstance(value, Module):
                if modules is None:
                    raise AttributeError("cannot assign module before Module.__init__() call")
                remove_from(d, self._parameters, self._buffers, self._non_persistent_buffers_set)
                modules[name] = value
            elif modules is not None and name in modules:
                if value is not None:
                    raise TypeError("cannot assign '%s' as child module '%s' (torch.nn.Module or None expected)"
                                    % (typename(value), name))
                modules[name] = value
            else:
                buffers = d.get("_buffers")
                if buffers is not None and name in buffers:
                    if value is not None and not isinstance(value, _zel.Tensor):
                        raise TypeError("cannot assign '%s' as buffer '%s' (torch.Tensor or None expected)"
                                        % (typename(value), name))
                    buffers[name] = value
                else:
                    object.__setattr__(self, name, value)

    def __delattr__(self, name):
        d = self.__dict__
        if name in d.get("_parameters", ()):
            del self._parameters[name]
        elif name in d.get("_buffers", ()):
            del self._buffers[name]
            self._non_persistent_buffers_set.discard(name)
        elif name in d.get("_modules", ()):
            del self._modules[name]
        else:
            object.__delattr__(self, name)

    def __setstate__(self, state):
        self.__dict__.update(state)
        for table in ("_forward_pre_hooks_with_kwargs", "_forward_hooks_with_kwargs", "_state_dict_hooks",
                      "_load_state_dict_pre_hooks"):
            self.__dict__.setdefault(table, OrderedDict())
        self.__dict__.setdefault("_non_persistent_buffers_set", set())

    def __dir__(self):
        keys = list(object.__dir__(self))
        d = self.__dict__
        keys += list(d.get("_parameters", ())) + list(d.get("_modules", ())) + list(d.get("_buffers", ()))
        return sorted(k for k in set(keys) if not k[0].isdigit())

    # ------------------------------------------------------------ calling

    def register_forward_pre_hook(self, hook, *, prepend=False, with_kwargs=False):
        """hook(module, args) runs before forward and may return new args (a
        non-tuple is wrapped); with_kwargs=True: hook(module, args, kwargs)
        returning None or (args, kwargs)."""
        if not callable(hook):
            raise TypeError("forward pre-hook must be callable, got %s" % typename(hook))
        handle = RemovableHandle(self._forward_pre_hooks, extra_dict=self._forward_pre_hooks_with_kwargs)
        self._forward_pre_hooks[handle.id] = hook
        if with_kwargs:
            self._forward_pre_hooks_with_kwargs[handle.id] = True
        if prepend:
            self._forward_pre_hooks.move_to_end(handle.id, last=False)
        return handle

    def register_forward_hook(self, hook, *, prepend=False, with_kwargs=False, always_call=False):
        """hook(module, args, output) runs after forward and may return a new
        output; with_kwargs=True: hook(module, args, kwargs, output)."""
        if not callable(hook):
            raise TypeError("forward hook must be callable, got %s" % typename(hook))
        handle = RemovableHandle(self._forward_hooks, extra_dict=self._forward_hooks_with_kwargs)
        self._forward_hooks[handle.id] = hook
        if with_kwargs:
            self._forward_hooks_with_kwargs[handle.id] = True
        if prepend:
            self._forward_hooks.move_to_end(handle.id, last=False)
        return handle

    def __call__(self, *args, **kwargs):
        for hook_id, hook in list(self._forward_pre_hooks.items()):
            if hook_id in self._forward_pre_hooks_with_kwargs:
                result = hook(self, args, kwargs)
                if result is not None:
                    if not (isinstance(result, tuple) and len(result) == 2):
                        raise RuntimeError("forward pre-hook must return None or a tuple of (new_args, new_kwargs), "
                                           "but got %s." % (result,))
                    args, kwargs = result
            else:
                result = hook(self, args)
                if result is not None:
                    args = result if isinstance(result, tuple) else (result,)
        result = self.forward(*args, **kwargs)
        for hook_id, hook in list(self._forward_hooks.items()):
            if hook_id in self._forward_hooks_with_kwargs:
                hook_result = hook(self, args, kwargs, result)
            else:
                hook_result = hook(self, args, result)
            if hook_result is not None:
                result = hook_result
        return result

    # ------------------------------------------------------------ traversal

    def _named_members(self, get_members, prefix="", recurse=True, remove_duplicate=True):
        memo = set()  # ids: the library's Tensors are unhashable
        modules = self.named_modules(prefix=prefix, remove_duplicate=remove_duplicate) if recurse \
            else [(prefix, self)]
        for module_prefix, module in modules:
            for k, v in get_members(module):
                if v is None or id(v) in memo:
                    continue
                if remove_duplicate:
                    memo.add(id(v))
                yield (module_prefix + ("." if module_prefix else "") + k, v)

    def parameters(self, recurse=True):
        """Iterator over the parameters, each once, in registration order."""
        for _, p in self.named_parameters(recurse=recurse):
            yield p

    def named_parameters(self, prefix="", recurse=True, remove_duplicate=True):
        """Iterator over (dotted name, parameter)."""
        return self._named_members(lambda m: m._parameters.items(), prefix, recurse, remove_duplicate)

    def buffers(self, recurse=True):
        """Iterator over the buffers."""
        for _, b in self.named_buffers(recurse=recurse):
            yield b

    def named_buffers(self, prefix="", recurse=True, remove_duplicate=True):
        """Iterator over (dotted name, buffer)."""
        return self._named_members(lambda m: m._buffers.items(), prefix, recurse, remove_duplicate)

    def children(self):
        """Iterator over the direct submodules."""
        for _, m in self.named_children():
            yield m

    def named_children(self):
        """Iterator over (name, direct submodule), each module once."""
        memo = set()
        for name, module in self._modules.items():
            if module is not None and id(module) not in memo:
                memo.add(id(module))
                yield name, module

    def modules(self):
        """Iterator over this module and all its submodules, depth first."""
        for _, m in self.named_modules():
            yield m

    def named_modules(self, memo=None, prefix="", remove_duplicate=True):
        """Iterator over (dotted name, module), this module first ('')."""
        if memo is None:
            memo = set()
        if id(self) in memo:
            return
        if remove_duplicate:
            memo.add(id(self))
        yield prefix, self
        for name, module in self._modules.items():
            if module is None:
                continue
            yield from module.named_modules(memo, prefix + ("." if prefix else "") + name, remove_duplicate)

    # ------------------------------------------------------------ state dict

    def _register_state_dict_hook(self, hook):
        handle = RemovableHandle(self._state_dict_hooks)
        self._state_dict_hooks[handle.id] = hook
        return handle

    def _register_load_state_dict_pre_hook(self, hook, with_module=False):
        handle = RemovableHandle(self._load_state_dict_pre_hooks)
        self._load_state_dict_pre_hooks[handle.id] = functools.partial(hook, self) if with_module else hook
        return handle

    def _save_to_state_dict(self, destination, prefix, keep_vars):
        for name, param in self._parameters.items():
            if param is not None:
                destination[prefix + name] = param if keep_vars else detached(param)
        for name, buf in self._buffers.items():
            if buf is not None and name not in self._non_persistent_buffers_set:
                destination[prefix + name] = buf if keep_vars else detached(buf)
        if self._has_extra_state():
            destination[prefix + "_extra_state"] = self.get_extra_state()

    def state_dict(self, *args, destination=None, prefix="", keep_vars=False):
        """OrderedDict of the parameters and persistent buffers by dotted name:
        Tensors sharing the module's limbs, outside autograd unless keep_vars."""
        if args:  # PyTorch's deprecated positional form
            names = ("destination", "prefix", "keep_vars")
            if len(args) > 3:
                raise TypeError("state_dict() takes at most 3 positional arguments but %d were given" % len(args))
            kw = dict(zip(names, args))
            destination = kw.get("destination", destination)
            prefix = kw.get("prefix", prefix)
            keep_vars = kw.get("keep_vars", keep_vars)
        if destination is None:
            destination = OrderedDict()
            destination._metadata = OrderedDict()
        if hasattr(destination, "_metadata"):
            destination._metadata[prefix[:-1]] = dict(version=self._version)
        self._save_to_state_dict(destination, prefix, keep_vars)
        for name, module in self._modules.items():
            if module is not None:
                module.state_dict(destination=destination, prefix=prefix + name + ".", keep_vars=keep_vars)
        for hook in self._state_dict_hooks.values():
            result = hook(self, destination, prefix, dict(version=self._version))
            if result is not None:
                destination = result
        return destination

    def _load_from_state_dict(self, state_dict, prefix, local_metadata, strict, missing_keys, unexpected_keys,
                              error_msgs):
        for hook in self._load_state_dict_pre_hooks.values():
            hook(state_dict, prefix, local_metadata, strict, missing_keys, unexpected_keys, error_msgs)
        persistent = {k: v for k, v in self._buffers.items() if k not in self._non_persistent_buffers_set}
        local_state = {k: v for k, v in itertools.chain(self._parameters.items(), persistent.items())
                       if v is not None}
        for name, param in local_state.items():
            key = prefix + name
            if key not in state_dict:
                if strict:
                    missing_keys.append(key)
                continue
            value = state_dict[key]
            if isinstance(value, torch.Tensor):
                try:
                    value = _zel.tensor(value.detach().cpu())
                except Exception as ex:
                    error_msgs.append('While copying the parameter named "%s", the checkpoint\'s tensor could not '
                                      'be converted: %s' % (key, ex))
                    continue
            elif not isinstance(value, _zel.Tensor):
                error_msgs.append('While copying the parameter named "%s", expected torch.Tensor or Tensor-like '
                                  'object from checkpoint but received %s' % (key, type(value)))
                continue
            if len(param.shape) == 0 and len(value.shape) == 1:
                value = value[0]  # PyTorch's reading of old checkpoints
            if tuple(value.shape) != tuple(param.shape):
                error_msgs.append("size mismatch for %s: copying a param with shape %s from checkpoint, the shape "
                                  "in current model is %s." % (key, torch.Size(value.shape),
                                                               torch.Size(param.shape)))
                continue
            try:
                with _zel.no_grad():
                    param.copy_(value)
            except Exception as ex:
                error_msgs.append('While copying the parameter named "%s", whose dimensions in the model are %s and '
                                  'whose dimensions in the checkpoint are %s, an exception occurred : %s.'
                                  % (key, torch.Size(param.shape), torch.Size(value.shape), ex.args))
        extra_key = prefix + "_extra_state"
        if self._has_extra_state():
            if extra_key in state_dict:
                self.set_extra_state(state_dict[extra_key])
            elif strict:
                missing_keys.append(extra_key)
        elif strict and extra_key in state_dict:
            unexpected_keys.append(extra_key)
        if strict:
            for key in state_dict.keys():
                if isinstance(key, str) and key.startswith(prefix) and key != extra_key:
                    name = key[len(prefix):].split(".", 1)[0]
                    if name not in self._modules and name not in local_state:
                        unexpected_keys.append(key)

    def load_state_dict(self, state_dict, strict=True):
        """Copies every limb of the matching entries into the parameters and
        buffers; returns (missing_keys, unexpected_keys). strict raises
        RuntimeError for any mismatch, as PyTorch."""
        if not isinstance(state_dict, Mapping):
            raise TypeError("Expected state_dict to be dict-like, got %s." % type(state_dict))
        missing_keys, unexpected_keys, error_msgs = [], [], []
        metadata = getattr(state_dict, "_metadata", None)
        state_dict = OrderedDict(state_dict)

        def load(module, local, prefix=""):
            local_metadata = {} if not isinstance(metadata, Mapping) else metadata.get(prefix[:-1], {})
            module._load_from_state_dict(local, prefix, local_metadata, True, missing_keys, unexpected_keys,
                                         error_msgs)
            for name, child in module._modules.items():
                if child is not None:
                    child_prefix = prefix + name + "."
                    load(child, {k: v for k, v in local.items()
                                 if isinstance(k, str) and k.startswith(child_prefix)}, child_prefix)

        load(self, state_dict)
        if strict:
            if unexpected_keys:
                error_msgs.insert(0, "Unexpected key(s) in state_dict: %s. "
                                  % ", ".join('"%s"' % k for k in unexpected_keys))
            if missing_keys:
                error_msgs.insert(0, "Missing key(s) in state_dict: %s. " % ", ".join('"%s"' % k for k in missing_keys))
        if error_msgs:
            raise RuntimeError("Error(s) in loading state_dict for %s:\n\t%s"
                               % (type(self).__name__, "\n\t".join(error_msgs)))
        return _IncompatibleKeys(missing_keys, unexpected_keys)

    # ------------------------------------------------------------ modes and conversions

    def train(self, mode=True):
        """Sets training mode here and in every submodule; returns self."""
        if not isinstance(mode, bool):
            raise ValueError("training mode is expected to be boolean")
        self.training = mode
        for module in self.children():
            module.train(mode)
        return self

    def eval(self):
        """train(False)."""
        return self.train(False)

    def requires_grad_(self, requires_grad=True):
        """Sets requires_grad of every parameter; returns self."""
        for p in self.parameters():
            p.requires_grad_(requires_grad)
        return self

    def zero_grad(self, set_to_none=None):
        """Resets the parameters' gradients: to None, or zeros in place
        (the default follows the installed PyTorch)."""
        if set_to_none is None:
            set_to_none = zero_grad_sets_to_none()
        for p in self.parameters():
            if p.grad is None:
                continue
            if set_to_none:
                p.grad = None
            else:
                with _zel.no_grad():
                    p.grad.zero_()

    def apply(self, fn):
        """Calls fn on every submodule (children first) and on self; returns self."""
        for module in self.children():
            module.apply(fn)
        fn(self)
        return self

    def _apply(self, fn):
        for module in self.children():
            module._apply(fn)
        for table in (self._parameters, self._buffers):
            for key, t in table.items():
                if t is None:
                    continue
                out = fn(t)
                if out is t:
                    continue
                if not isinstance(out, _zel.Tensor):
                    raise TypeError("converting '%s' gave %s, not a Tensor" % (key, typename(out)))
                if isinstance(t, Parameter):
                    # The Parameter object stays (optimizers hold it); only its limbs move.
                    t._data, t._shape = out._data, out._shape
                    if t.grad is not None:
                        g = fn(t.grad)
                        if g is not t.grad:
                            t.grad = None
                            t.grad = g
                else:
                    table[key] = out
        return self

    def to(self, *args, **kwargs):
        """Moves parameters and buffers as Tensor.to does (float dtypes leave
        the limbs as they are); integer dtypes are refused as by PyTorch."""
        dtype = asked_dtype(args, kwargs)
        if dtype is not None and not is_float_dtype(dtype):
            raise TypeError("nn.Module.to only accepts floating point or complex dtypes, but got desired dtype=%s"
                            % dtype)
        return self._apply(lambda t: t.to(*args, **kwargs))

    def cpu(self):
        """Moves every parameter and buffer to the CPU."""
        return self._apply(lambda t: t.cpu())

    def cuda(self, device=None):
        """Moves every parameter and buffer to a CUDA device."""
        return self._apply(lambda t: t.cuda(device) if device is not None else t.cuda())

    def double(self):
        """Tensor.double() on every parameter and buffer (the limbs stay)."""
        return self._apply(lambda t: t.double())

    def float(self):
        """Tensor.float() on every parameter and buffer (the limbs stay)."""
        return self._apply(lambda t: t.float())

    def half(self):
        """Tensor.half() on every parameter and buffer, as the library's tensors do it."""
        return self._apply(lambda t: t.half())

    def bfloat16(self):
        """Tensor.bfloat16() on every parameter and buffer, as the library's tensors do it."""
        return self._apply(lambda t: t.bfloat16())

    def type(self, dst_type):
        """Floating dtypes leave the limbs as they are; others are refused."""
        if not isinstance(dst_type, (torch.dtype, str)) or not is_float_dtype(dst_type):
            raise TypeError("Module.type(): the library's tensors hold 8-limb floats; got dst_type=%r" % (dst_type,))
        return self

    def share_memory(self):
        """Nothing to do for limb arrays in one process; returns self."""
        return self

    # ------------------------------------------------------------ printing

    def _get_name(self):
        return type(self).__name__

    def extra_repr(self):
        """The text inside the parentheses of repr(); subclasses override it."""
        return ""

    def __repr__(self):
        extra = self.extra_repr()
        extra_lines = extra.split("\n") if extra else []
        child_lines = ["(" + key + "): " + addindent(repr(module), 2) for key, module in self._modules.items()]
        lines = extra_lines + child_lines
        main = self._get_name() + "("
        if lines:
            if len(extra_lines) == 1 and not child_lines:
                main += extra_lines[0]
            else:
                main += "\n  " + "\n  ".join(lines) + "\n"
        return main + ")"


def detached(t):
    """A Tensor on the same limbs, outside autograd (what PyTorch's detach() shares)."""
    return _zel.Tensor(_raw=t._data, _shape=t._shape)


def install(zel):
    """Binds the library and builds Parameter; returns the public names."""
    global _zel, Parameter
    _zel = zel
    if Parameter is None or not issubclass(Parameter, zel.Tensor):
        Parameter = make_parameter(zel.Tensor)
    return {"Module": Module, "Parameter": Parameter}
