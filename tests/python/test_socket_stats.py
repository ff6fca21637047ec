"""SocketStats as Python code meets it."""
import pytest

import _quillmere_core as qc

from conftest import socket_report


def test_new_instance_reports_zeros():
    sock = qc.SocketStats("s0", 4)
    assert (sock.bytes_sent(), sock.bytes_recv(), sock.peak_recv_buffer_pct()) == (0, 0, 0)
    assert sock.avg_send_latency_us() == 0.0
    assert sock.report() == socket_report("s0", 0, 0, 0, 0)


def test_report_format():
    sock = qc.SocketStats("s0", 8)
    sock.record_send(100, 40)
    sock.record_send(bytes=50, latency_us=60)
    sock.record_recv(300, 35)
    sock.record_recv(20, buffer_used_pct=80)
    assert sock.report() == socket_report("s0", 150, 320, 50, 80)


def test_directions_do_not_touch_each_other():
    sock = qc.SocketStats("d", 4)
    sock.record_send(1, 10)
    sock.record_recv(7, 250)
    sock.record_recv(1, 30)
    assert sock.avg_send_latency_us() == 10.0
    assert sock.peak_recv_buffer_pct() == 250
    assert sock.report() == socket_report("d", 1, 8, 10, 250)
    sock.record_send(1, 99)
    assert sock.peak_recv_buffer_pct() == 250


def test_byte_totals_wrap():
    sock = qc.SocketStats("wrap", 1)
    sock.record_send(2**64 - 1, 1)
    sock.record_send(1, 1)
    assert sock.bytes_sent() == 0


def test_class_surface():
    assert qc.SocketStats.__doc__ == "Statistics for a traced socket channel."
    assert qc.SocketStats.__text_signature__ == "(name, ring_capacity)"
    assert qc.SocketStats.record_recv.__text_signature__ == "($self, bytes, buffer_used_pct)"
    with pytest.raises(BaseException) as info:
        qc.SocketStats("big", 2**60)
    assert info.value.args == ("capacity overflow",)
