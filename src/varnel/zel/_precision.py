"""The function precision: "defined" (the default: the defined algorithms of
exp, log, sin, cos, tan, tanh, sigmoid, silu, gelu and what is built on
them, bit for bit, with their digests) or "full" (the same functions
accurate to 2^-100 through the accurate kernels). `+ - * /` and `sqrt` keep
their algorithms in both. The setting is process-wide; an operation reads it
once, when it starts. varnel.zel.zel calls install() once.
"""
import threading

_CHOICES = ("defined", "full")


def install(zel):
    lock = threading.Lock()

    def checked(precision):
        if not isinstance(precision, str):
            raise TypeError("function precision must be a str ('defined' or 'full'), not %s"
                            % type(precision).__name__)
        if precision not in _CHOICES:
            raise ValueError("function precision must be 'defined' or 'full', not %r" % (precision,))
        return precision

    def set_function_precision(precision):
        """Sets the process-wide function precision: "defined" (the default) or "full" (2^-100)."""
        zel._set_full_function_precision(checked(precision) == "full")

    def get_function_precision():
        """The process-wide function precision: "defined" or "full"."""
        return "full" if zel._full_function_precision() else "defined"

    class function_precision:
        """Context manager (and decorator) that sets the function precision and restores the previous one.

            with zel.function_precision("full"):
                y = zel.exp(x)   # accurate to 2^-100
        """

        def __init__(self, precision):
            self.precision = checked(precision)
            self._saved = []

        def __enter__(self):
            with lock:
                self._saved.append(get_function_precision())
                set_function_precision(self.precision)
            return self

        def __exit__(self, *exc):
            with lock:
                set_function_precision(self._saved.pop())
            return False

        def __call__(self, fn):
            import functools

            @functools.wraps(fn)
            def wrapped(*args, **kwargs):
                with function_precision(self.precision):
                    return fn(*args, **kwargs)
            return wrapped

    for obj in (set_function_precision, get_function_precision, function_precision):
        obj.__module__ = zel.__name__
        setattr(zel, obj.__name__, obj)
