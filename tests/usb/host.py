"""What the guest's checks ask of the host of scripts/usb-adapter: one request
a line on the control port, one answer a line ("ok", or what was asked for)."""
import struct

CONTROL = "/dev/virtio-ports/org.torvan.usbtest"


def ask_host(request):
    with open(CONTROL, "r+b", buffering=0) as control:
        control.write(request.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            answer += control.read(1)
    return answer.decode().strip()


def f32(value):
    """The value as the controller holds it, in single precision."""
    return struct.unpack("<f", struct.pack("<f", value))[0]
