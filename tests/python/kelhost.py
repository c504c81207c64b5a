"""A host written with ctypes: loads the driver module and its host library
the way a SCADA runtime does and calls KelMain with the host's records."""
import ctypes
import os


class LineSettings(ctypes.Structure):
    _fields_ = [("baudRate", ctypes.c_uint16), ("dataBits", ctypes.c_uint16),
                ("stopBits", ctypes.c_uint16), ("parity", ctypes.c_uint16)]


class KelRequest(ctypes.Structure):
    _fields_ = [("context", ctypes.c_void_p), ("code", ctypes.c_uint32), ("board", ctypes.c_int32),
                ("hostField", ctypes.c_uint32), ("params", ctypes.c_void_p)]


class DriverInfo(ctypes.Structure):
    _fields_ = [("version", ctypes.c_int32), ("name", ctypes.c_char_p), ("banner", ctypes.c_void_p),
                ("contextSize", ctypes.c_int32), ("hostValue1", ctypes.c_int32),
                ("defaultLine", LineSettings), ("hostValue2", ctypes.c_int32)]


class LoadParams(ctypes.Structure):
    _fields_ = [("portName", ctypes.c_char * 12), ("portInUse", ctypes.c_uint32),
                ("readTimeout", ctypes.c_int32), ("line", LineSettings)]


class ParseRecord(ctypes.Structure):
    _fields_ = [("gas", ctypes.c_char_p), ("hostField", ctypes.c_uint32), ("dataType", ctypes.c_int32),
                ("count", ctypes.c_int32), ("station", ctypes.c_int32), ("area", ctypes.c_int32),
                ("element", ctypes.c_int32), ("bit", ctypes.c_int32), ("width", ctypes.c_int32)]


class TagRecord(ctypes.Structure):
    _fields_ = [("gas", ctypes.c_char_p), ("hostField1", ctypes.c_uint32), ("station", ctypes.c_int32),
                ("area", ctypes.c_int32), ("element", ctypes.c_int32), ("bit", ctypes.c_int32),
                ("width", ctypes.c_int32), ("hostField2", ctypes.c_uint32), ("count", ctypes.c_int32),
                ("hostField3", ctypes.c_uint32), ("data", ctypes.POINTER(ctypes.c_uint16))]


SINK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)


class Host:
    """One board of a host: its context and the calls a host makes."""

    def __init__(self, build_dir, board=1):
        self.kalvro = ctypes.CDLL(os.path.join(build_dir, "libkalvro.so"))
        self.driver = ctypes.CDLL(os.path.join(build_dir, "libderevu1.so"))
        self.driver.KelMain.argtypes = [ctypes.POINTER(KelRequest)]
        self.driver.KelMain.restype = ctypes.c_int32
        self.messages = []
        self._sink = SINK(lambda user, level, text: self.messages.append((level, text.decode("latin-1"))))
        self.kalvro.KalSetErrSink(self._sink, None)
        self.board = board
        # The board's context, zero-filled, of the size the driver describes.
        info = DriverInfo()
        request = KelRequest(None, 14, board, 0, ctypes.cast(ctypes.pointer(info), ctypes.c_void_p))
        if self.driver.KelMain(ctypes.byref(request)) != 0 or info.contextSize <= 0:
            raise RuntimeError("the driver gave no description")
        self.context = ctypes.create_string_buffer(info.contextSize)

    def call(self, code, params=None):
        request = KelRequest(ctypes.cast(self.context, ctypes.c_void_p), code, self.board, 0,
                             ctypes.cast(ctypes.pointer(params), ctypes.c_void_p) if params is not None else None)
        return self.driver.KelMain(ctypes.byref(request))

    def driver_info(self):
        info = DriverInfo()
        return self.call(14, info), info

    def load(self, port, read_timeout=100, line=(19200, 8, 0, 0)):
        """Loads the board; port None loads it without a serial port."""
        params = LoadParams((port or "").encode(), 0 if port is None else 1, read_timeout, LineSettings(*line))
        return self.call(1, params)

    def parse(self, gas, data_type=0, count=1, block=False):
        record = ParseRecord(gas.encode(), 0, data_type, count)
        return self.call(4 if block else 3, record), record

    def tag(self, record, count, words):
        buffer = (ctypes.c_uint16 * words)()
        tag = TagRecord(record.gas, 0, record.station, record.area, record.element, record.bit, record.width,
                        0, count, 0, buffer)
        return tag, buffer
