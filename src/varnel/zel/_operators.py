"""PyTorch's functional names of the operators: add, sub, mul, div (with
alpha= and rounding_mode=), true_divide, rsub, floor_divide, the comparisons
eq ... ge and the logical functions, with their aliases and out=, as module
functions and Tensor methods.

Each is the operator itself, so the bytes, the broadcasting and the recorded
gradients are the operators'. varnel.zel.zel calls install() once; the names
become plain attributes (none joins __all__).
"""
import operator

import torch


def install(zel):
    Tensor = zel.Tensor

    def tensor_first(op, input):
        if not isinstance(input, Tensor):
            raise TypeError("%s(): argument 'input' must be Tensor, not %s" % (op, type(input).__name__))

    def to_out(op, result, out):
        if out is None:
            return result
        if not isinstance(out, (Tensor, torch.Tensor)):
            raise TypeError("%s(): argument 'out' must be Tensor, not %s" % (op, type(out).__name__))
        if tuple(out.shape) != tuple(result.shape):
            raise RuntimeError("%s(): out has shape %s, the result %s" % (op, list(out.shape), list(result.shape)))
        return out.copy_(result)

    def scaled(op, other, alpha):
        if alpha is None or (type(alpha) is int and alpha == 1):
            return other
        if isinstance(alpha, bool) or not isinstance(alpha, (int, float)):
            raise TypeError("%s(): argument 'alpha' must be Number, not %s" % (op, type(alpha).__name__))
        return other * alpha

    def add(input, other, *, alpha=1, out=None):
        """input + alpha * other."""
        tensor_first("add", input)
        return to_out("add", input + scaled("add", other, alpha), out)

    def sub(input, other, *, alpha=1, out=None):
        """input - alpha * other."""
        tensor_first("sub", input)
        return to_out("sub", input - scaled("sub", other, alpha), out)

    def rsub(input, other, *, alpha=1):
        """other - alpha * input."""
        tensor_first("rsub", input)
        return other - scaled("rsub", input, alpha)

    def mul(input, other, *, out=None):
        """input * other."""
        tensor_first("mul", input)
        return to_out("mul", input * other, out)

    def div(input, other, *, rounding_mode=None, out=None):
        """input / other; rounding_mode 'floor' is //, 'trunc' rounds toward zero."""
        tensor_first("div", input)
        if rounding_mode is None:
            r = input / other
        elif rounding_mode == "floor":
            r = input // other
        elif rounding_mode == "trunc":
            # The floored quotient, moved up by one where it is negative with a
            # remainder: exact, where (input / other).trunc() would not be.
            q = input // other
            rem = input - q * other
            r = zel.where(torch.logical_and(q < 0, rem != 0), q + 1.0, q)
        else:
            raise RuntimeError("div expected rounding_mode to be one of None, 'trunc', or 'floor' but found '%s'"
                               % (rounding_mode,))
        return to_out("div", r, out)

    def true_divide(input, other, *, out=None):
        """input / other."""
        return div(input, other, out=out)

    def floor_divide(input, other, *, out=None):
        """input // other: the floored quotient."""
        tensor_first("floor_divide", input)
        return to_out("floor_divide", input // other, out)

    def shape_of(x):
        return tuple(x.shape) if isinstance(x, (Tensor, torch.Tensor)) else ()

    def comparison(name, op):
        def compare(input, other, *, out=None):
            tensor_first(name, input)
            r = op(input, other)
            if r is NotImplemented:
                raise TypeError("%s(): argument 'other' must be Tensor or Number, not %s"
                                % (name, type(other).__name__))
            # The operators give a flat mask, as defined; the functions PyTorch's shape.
            return to_out(name, r.reshape(torch.broadcast_shapes(tuple(input.shape), shape_of(other))), out)
        compare.__name__ = name
        compare.__doc__ = "The comparison %s, element-wise on the exact values (a torch bool tensor)." % name
        return compare

    def truth(op, t):
        if isinstance(t, Tensor):
            return (t != 0).reshape(tuple(t.shape))
        if isinstance(t, torch.Tensor):
            return t.bool()
        raise TypeError("%s(): argument must be Tensor, not %s" % (op, type(t).__name__))

    def logical(name, fn):
        def apply(input, other, *, out=None):
            r = fn(truth(name, input), truth(name, other))
            return to_out(name, r, out)
        apply.__name__ = name
        apply.__doc__ = "%s of the truth of the elements (non-zero is true), a torch bool tensor." % name
        return apply

    def logical_not(input, *, out=None):
        """The elements that are zero, a torch bool tensor."""
        return to_out("logical_not", torch.logical_not(truth("logical_not", input)), out)

    functions = {"add": add, "sub": sub, "subtract": sub, "mul": mul, "multiply": mul, "div": div, "divide": div,
                 "true_divide": true_divide, "floor_divide": floor_divide, "logical_not": logical_not}
    for name, op in (("eq", operator.eq), ("ne", operator.ne), ("lt", operator.lt), ("le", operator.le),
                     ("gt", operator.gt), ("ge", operator.ge)):
        functions[name] = comparison(name, op)
    for alias, name in (("not_equal", "ne"), ("less", "lt"), ("less_equal", "le"), ("greater", "gt"),
                        ("greater_equal", "ge")):
        functions[alias] = functions[name]
    for name, fn in (("logical_and", torch.logical_and), ("logical_or", torch.logical_or),
                     ("logical_xor", torch.logical_xor)):
        functions[name] = logical(name, fn)
    for name, fn in functions.items():
        fn.__module__ = zel.__name__
        if not hasattr(zel, name):
            setattr(zel, name, fn)
        if not hasattr(Tensor, name):
            setattr(Tensor, name, fn)
    zel.rsub = rsub
    rsub.__module__ = zel.__name__

    def in_place(name):
        def apply(self, other, **kwargs):
            return self.copy_(functions[name](self, other, **kwargs))
        apply.__name__ = name + "_"
        apply.__doc__ = "In place: self = %s(self, other)." % name
        return apply

    for name in ("true_divide", "floor_divide", "multiply", "subtract", "divide"):
        if not hasattr(Tensor, name + "_"):
            setattr(Tensor, name + "_", in_place(name))
