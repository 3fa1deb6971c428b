"""Objects created by name whose attributes are the members of their type information."""

import ctypes
import dis
import functools
import inspect
import threading
import types
import weakref

from . import _capi
from ._errors import DispatchError, check, quoted
from ._typeinfo import class_key, loaded_type_info, type_info

_lib = _capi.lib
_PY_TYPES = {_capi.LONG: int, _capi.BOOL: bool, _capi.TEXT: str, _capi.EMPTY: None}
_INT64 = range(-(1 << 63), 1 << 63)
_TEXT_MAX = 0xFFFFFFFF  # an lvo_value's length is 32 bits

# Exceptions raised by event handlers while the library was calling back; pump() re-raises them.
_pending = threading.local()


def _to_c(value, encoding, keep):
    """A Python value as an lvo_value; keep holds the buffers the value points into."""
    if value is None:
        return _capi.Value(_capi.EMPTY, 0, 0, None)
    if isinstance(value, bool):
        return _capi.Value(_capi.BOOL, 0, -1 if value else 0, None)
    if isinstance(value, int):
        if value not in _INT64:
            shown = value if value.bit_length() <= 128 else f"of {value.bit_length()} bits"
            raise DispatchError(_capi.E_OVERFLOW, f"the number {shown} is out of range")
        return _capi.Value(_capi.LONG, 0, value, None)
    if isinstance(value, str):
        value = value.encode(encoding, "surrogateescape")
    if isinstance(value, (bytes, bytearray, memoryview)):
        size = memoryview(value).nbytes
        if size > _TEXT_MAX:  # checked before the copy, which it would only waste
            raise DispatchError(_capi.E_OVERFLOW, f"a text of {size} bytes is too long")
        data = bytes(value)
        buffer = ctypes.create_string_buffer(data, len(data) + 1)
        keep.append(buffer)
        return _capi.Value(_capi.TEXT, len(data), 0, ctypes.cast(buffer, ctypes.c_void_p))
    raise TypeError(
        f"a {type(value).__name__} cannot be passed: use int, bool, str, bytes or None"
    )


def _from_c(value, encoding):
    """Takes a result lvo_value, releasing its text."""
    if value.type == _capi.LONG:
        return value.number
    if value.type == _capi.BOOL:
        return value.number != 0
    if value.type == _capi.TEXT:
        try:
            return ctypes.string_at(value.text, value.length).decode(encoding, "surrogateescape")
        finally:
            _lib.lvo_string_free(value.text)
    return None


class CDispatch:
    """A control created by ProgID or CLSID text. Its attributes are the control's members:
    properties are read and assigned, methods are called with positional arguments. Member names
    compare case-insensitively. Use the object on the thread that created it. It is its control:
    it cannot be copied or pickled."""

    _type_info = None  # set in each generated class
    _handler_names = frozenset()  # what a handler object keeps besides the members

    def __init__(self, prog_id, encoding="latin-1"):
        key = class_key(prog_id)
        "".encode(encoding)  # an encoding that cannot carry text fails here, not at first use
        b"".decode(encoding)
        handle = ctypes.c_void_p()
        check(_lib.lvo_create(key, ctypes.byref(handle)))
        object.__setattr__(self, "_handle", handle)
        object.__setattr__(self, "_prog_id", prog_id)
        object.__setattr__(self, "_encoding", encoding)
        object.__setattr__(self, "_connections", {})  # cookie -> ctypes callback

    # -- members ---------------------------------------------------------------------------

    def _invoke(self, dispid, flags, args):
        keep = []
        values = (_capi.Value * max(len(args), 1))(*(_to_c(a, self._encoding, keep) for a in args))
        result = _capi.Value()
        check(
            _lib.lvo_invoke(
                self._handle, dispid, flags, values, len(args), ctypes.byref(result)
            )
        )
        return _from_c(result, self._encoding)

    def _member(self, name):
        member = self._type_info.by_name.get(name.lower())
        if member is None:
            raise self._no_member(name)
        return member

    def _no_member(self, name):
        return AttributeError(
            f"{self._type_info.interface} has no member {quoted(name)}", name=name, obj=self
        )

    def __getattr__(self, name):
        # Reached only when the exact spelling is not a class attribute.
        if name.startswith("__"):
            raise AttributeError(name)
        return getattr(self, self._member(name).name)

    def __setattr__(self, name, value):
        member = self._type_info.by_name.get(name.lower())
        if member is not None:  # a method too: the library says why not
            self._invoke(member.dispid, _capi.PROPERTYPUT, [value])
        elif name in self._handler_names:
            object.__setattr__(self, name, value)
        else:
            raise self._no_member(name)

    # -- events ----------------------------------------------------------------------------

    def _connect(self, sink, hold_sink=True):
        """Calls sink.On<EventName>(argument) for each event while the thread pumps. The
        connection keeps sink alive unless hold_sink is false (sink is then held weakly)."""
        handlers = {}
        for event in self._type_info.events:
            wanted = "on" + event.name.lower()
            names = [n for n in dir(type(sink)) if n.lower() == wanted]
            if names:  # the exact spelling first
                exact = f"On{event.name}"
                handlers[event.dispid] = exact if exact in names else names[0]
        target = (lambda: sink) if hold_sink else weakref.ref(sink)

        def on_event(user, dispid, name, argument):
            receiver = target()
            handler = handlers.get(dispid)
            if receiver is None or handler is None:
                return
            try:
                getattr(receiver, handler)(argument)
            except BaseException as error:  # never unwind through the library
                _pending_errors().append(error)

        callback = _capi.EVENT_CALLBACK(on_event)
        cookie = ctypes.c_int32()
        check(_lib.lvo_connect(self._handle, callback, None, ctypes.byref(cookie)))
        self._connections[cookie.value] = callback
        return cookie.value

    def _disconnect(self, cookie):
        check(_lib.lvo_disconnect(self._handle, cookie))
        del self._connections[cookie]

    # -- lifetime --------------------------------------------------------------------------

    def _release(self):
        """Releases the control (it closes the port it opened): at once on its own thread, else,
        and inside its own event handler, when its thread next pumps. Later calls fail."""
        handle = self.__dict__.get("_handle")
        if handle:
            check(_lib.lvo_release(handle))
            object.__setattr__(self, "_handle", ctypes.c_void_p())
            self._connections.clear()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._release()

    def __del__(self):
        try:
            self._release()
        except Exception:  # noqa: BLE001 - nothing can be reported from a finaliser
            pass

    def __repr__(self):
        return f"<linvo.Dispatch {self.__dict__.get('_prog_id')!r} at 0x{id(self):x}>"


def _refuse_copy(self, *_):
    # A copy would share the native handle, which the first of the two to go releases.
    raise TypeError(
        f"a {type(self).__name__} control cannot be copied or pickled: "
        "create another with linvo.Dispatch"
    )


_COPY_HOOKS = ("__copy__", "__deepcopy__", "__reduce__", "__reduce_ex__")
for _hook in _COPY_HOOKS:
    setattr(CDispatch, _hook, _refuse_copy)


def _pending_errors():
    if not hasattr(_pending, "errors"):
        _pending.errors = []
    return _pending.errors


def _property(member):
    def get(self):
        return self._invoke(member.dispid, _capi.PROPERTYGET, [])

    def put(self, value):
        self._invoke(member.dispid, _capi.PROPERTYPUT, [value])

    return property(get, put, doc=f"{member.signature()}  (DISPID {member.dispid})")


def _method(member):
    def call(self, *args):
        return self._invoke(member.dispid, _capi.METHOD, args)

    call.__name__ = call.__qualname__ = member.name
    call.__doc__ = f"{member.signature()}  (DISPID {member.dispid})"
    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY)]
    params += [
        inspect.Parameter(p.name, inspect.Parameter.POSITIONAL_ONLY, annotation=_PY_TYPES[p.type])
        for p in member.params
    ]
    call.__signature__ = inspect.Signature(params, return_annotation=_PY_TYPES[member.type])
    return call


def dispatch_class(class_name):
    """The Python class of the objects of a class: one attribute per member."""
    type_info(class_name)  # refuses what is not a class name, as the caller spelt it
    return _class_for(class_key(class_name).lower())


@functools.cache
def _class_for(key):
    return _make_class(loaded_type_info(key))


def _make_class(info):
    lines = [
        f"{info.interface}: the dispatch interface of {info.library} {info.version}.",
        "",
        "Properties:",
        *(f"  {m.signature()}" for m in info.members if not m.is_method),
        "",
        "Methods:",
        *(f"  {m.signature()}" for m in info.members if m.is_method),
        "",
        f"Events ({info.events_interface}; handlers are On<EventName>(self, argument)):",
        *(f"  {e.name}({e.argument})" for e in info.events),
    ]
    namespace = {"__doc__": "\n".join(lines), "_type_info": info, "__module__": "linvo"}
    for member in info.members:
        namespace[member.name] = _method(member) if member.is_method else _property(member)
    return type(info.interface, (CDispatch,), namespace)


def Dispatch(prog_id, encoding="latin-1"):
    """Creates the control named by its ProgID ("LINVO.LinvoCtrl.1", any case) or CLSID text.
    Texts cross the interface as bytes in the given encoding."""
    return dispatch_class(prog_id)(prog_id, encoding)


def _handler_classes(handlers):
    """The classes whose definitions make up a handler class: it and its bases, without object
    and the controls' own classes."""
    return [k for k in handlers.__mro__ if k is not object and not issubclass(k, CDispatch)]


def _handler_names(classes):
    """The state a handler class keeps: the names the classes define or annotate and the
    attribute names their code assigns (x.name = ... in their methods, static and class methods,
    property accessors, what their decorators wrap, and the functions nested in these), without
    Python's own __dunder__ names."""
    names = set()
    code = set()

    def add(function_code):
        if function_code not in code:
            code.add(function_code)
            for constant in function_code.co_consts:
                if isinstance(constant, types.CodeType):
                    add(constant)

    for cls in classes:
        names.update(vars(cls), vars(cls).get("__annotations__", {}))
        for attribute in vars(cls).values():
            accessors = (getattr(attribute, a, None) for a in ("__func__", "fget", "fset", "fdel"))
            for function in (attribute, *accessors):
                if callable(function):
                    for defined in (function, inspect.unwrap(function)):
                        if isinstance(defined, types.FunctionType):
                            add(defined.__code__)
    for function_code in code:
        names.update(i.argval for i in dis.get_instructions(function_code)
                     if i.opname == "STORE_ATTR")
    return frozenset(n for n in names if not (n.startswith("__") and n.endswith("__")))


def DispatchWithEvents(prog_id, handlers, encoding="latin-1"):
    """Creates the control as an object of a class derived from handlers and the control's
    class: handlers.On<EventName>(self, argument) runs for each event while the thread pumps, with
    self the control. handlers.__init__(self) (its own or inherited) runs after creation. Besides
    the members the object keeps the handler's state: the names the handler class defines or
    annotates and the attribute names its code assigns; assigning any other name raises
    AttributeError."""
    if not isinstance(handlers, type):
        raise TypeError(f"handlers must be a class, not {type(handlers).__name__}")
    base = dispatch_class(prog_id)
    classes = _handler_classes(handlers)
    namespace = {"__module__": handlers.__module__, "_handler_names": _handler_names(classes)}
    # The handler class cannot make the control copyable.
    namespace.update((hook, _refuse_copy) for hook in _COPY_HOOKS)
    combined = type(handlers.__name__, (handlers, base), namespace)
    obj = combined.__new__(combined)
    base.__init__(obj, prog_id, encoding)
    obj._connect(obj, hold_sink=False)  # the object's own connection must not keep it alive
    init = next((vars(k)["__init__"] for k in classes if "__init__" in vars(k)), None)
    if init is not None:
        init(obj)
    return obj


def WithEvents(obj, handlers):
    """Connects a new handlers() object to an existing control and returns it: its
    On<EventName>(self, argument) methods run for each event of obj while the thread pumps. The
    connection lasts as long as obj."""
    if not isinstance(obj, CDispatch):
        raise TypeError(f"a control from linvo.Dispatch is expected, not {type(obj).__name__}")
    sink = handlers()
    obj._connect(sink)
    return sink


def pump(timeout=0):
    """Handles the calling thread's queued messages, firing the events of its objects. Waits up to
    timeout seconds (None: without limit) for the first when none is queued. Returns the number
    handled; re-raises the first exception an event handler raised."""
    if timeout is None:
        ms = -1
    else:
        ms = min(max(0, round(timeout * 1000)), 0x7FFFFFFF)
    handled = ctypes.c_int32()
    status = _lib.lvo_pump(ms, ctypes.byref(handled))
    errors = _pending_errors()
    if errors:
        first = errors[0]
        errors.clear()
        raise first
    check(status)
    return handled.value


def message_fd():
    """A descriptor that is readable while the calling thread has queued messages: give it to
    selectors or asyncio (loop.add_reader(fd, linvo.pump)) and call pump() when it fires."""
    fd = ctypes.c_int32()
    check(_lib.lvo_message_fd(ctypes.byref(fd)))
    return fd.value
