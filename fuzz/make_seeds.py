#!/usr/bin/env python3
"""Writes the committed seed corpus of the fuzz targets into fuzz/corpus/.

Run it by hand after changing it; fuzz/run only reads the seeds. Every seed is
small: well-formed WAV files of a few frames in the four supported formats,
damaged ones (no "fmt" tag, a "data" tag at an odd offset, a header cut short,
sizes that lie), chunk lists as common tools write them and as damage leaves
them, and task files that use every keyword.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def chunk(tag, payload, pad=True):
    """One chunk: tag, size, payload and the pad byte of an odd size."""
    return tag + struct.pack("<I", len(payload)) + payload + (b"\0" if pad and len(payload) % 2 else b"")


def wav(rate, bits, channels, frames, extra=b"", code=1, riff=None, data_size=None, seed=1,
        before=b"", after=b""):
    """A WAV file with an optional extra chunk before "data", whole chunks
    before "fmt " and after the audio; sizes may lie."""
    align = bits // 8 * channels
    audio = bytes((seed * 37 + i * 11) & 0xFF for i in range(frames * align))
    fmt = struct.pack("<HHIIHH", code, channels, rate, rate * align, align, bits)
    if code == 0xFFFE:
        fmt += struct.pack("<HHI", 22, bits, 3 if channels == 2 else 4) + bytes.fromhex(
            "0100000000001000800000aa00389b71")
    body = b"WAVE" + before + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    if extra:
        body += b"LIST" + struct.pack("<I", len(extra)) + extra
    body += b"data" + struct.pack("<I", len(audio) if data_size is None else data_size) + audio + after
    return b"RIFF" + struct.pack("<I", len(body) if riff is None else riff) + body


def wav_seeds():
    stereo16 = wav(44100, 16, 2, 8)
    no_fmt = bytearray(stereo16)
    no_fmt[12:16] = b"FMT "
    odd = wav(44100, 16, 2, 8, extra=b"x" * 9)  # "data" at 53 only
    far = wav(8000, 16, 1, 2, extra=b"y" * (131072 - 44))  # "data" at 131072
    # A comment holding "data" at an even offset (46) before the audio.
    comment = wav(48000, 24, 2, 4, extra=b"INFOICMT\x1c\0\0\0Interview data from Tuesday\0")
    tags = chunk(b"LIST", b"INFOISFT\x0e\0\0\0Lavf60.3.100\0\0") + chunk(b"id3 ", b"ID3\x04 data")
    data_first = bytearray(b"RIFF\0\0\0\0WAVE" + chunk(b"data", bytes(range(16))) +
                           chunk(b"fmt ", struct.pack("<HHIIHH", 1, 2, 8000, 32000, 4, 16)))
    return {
        "stereo16": stereo16,
        "mono16": wav(8000, 16, 1, 16, seed=2),
        "mono24-list": wav(48000, 24, 1, 6, extra=b"INFOjunk", seed=3),
        "stereo24-extensible": wav(96000, 24, 2, 4, code=0xFFFE, seed=4),
        "eight-bit": wav(8000, 8, 1, 10),
        "no-fmt-tag": bytes(no_fmt),
        "data-tag-at-odd-offset": odd,
        "cut-in-header": stereo16[:30],
        "sizes-lie": wav(44100, 16, 2, 4, riff=0xFFFFFFFF, data_size=0),
        "data-tag-at-131072": far,
        "comment-holding-data": comment,
        "bext-past-131076": wav(48000, 16, 2, 4, before=chunk(b"bext", b"A=PCM\r\n" * 19000)),
        "chunks-after-audio": wav(44100, 16, 2, 6, after=tags),
        "data-before-fmt": bytes(data_first),
        "odd-chunk-without-pad": wav(44100, 16, 2, 4, extra=b"odd"),
        "data-size-all-ones": wav(44100, 16, 2, 4, data_size=0xFFFFFFFF, after=tags),
        "chunk-size-past-end": wav(44100, 16, 2, 4, before=b"JUNK\xff\xff\xff\x7f"),
    }


def run_seeds():
    # First byte: the task of run_fuzzer.cpp (0 to 4); the rest is src.wav.
    return {
        "task0-stereo16": b"\x00" + wav(8000, 16, 2, 40),
        "task1-mono16": b"\x01" + wav(8000, 16, 1, 400, seed=5),
        "task2-mono24": b"\x02" + wav(4000, 24, 1, 80, seed=6),
        "task3-stereo16": b"\x03" + wav(8000, 16, 2, 30, seed=7),
        "task3-mismatch": b"\x03" + wav(44100, 24, 1, 30, seed=8),
        # Seconds at 2.4 MHz: reads, inserts and crossfades thousands of frames long.
        "task2-high-rate": b"\x02" + wav(2400000, 16, 1, 3000, seed=9),
        "task4-converted": b"\x04" + wav(8000, 16, 1, 60, seed=10),
        "task4-float": b"\x04" + wav(11025, 32, 2, 40, code=3, seed=11),
    }


def task_seeds():
    return {
        "demo": b"dest\tdemo_out.wav\nsrc\tintro.wav\nxout\t2.5\nsrc\ttake1.wav\nxin\t0.5\n"
                b"xout\t3.5\nlvl\t-3\nxf\t50\t1\n",
        "every-keyword": b"using_samples\ndest\tout.wav\nsrc\tintro.wav\nxout\t441000\n"
                         b"src\ttake2.wav\nxin\t44100\nlvl\t-3.1\nxf\t200\t1\ntrim\t-0.5\n"
                         b"src\tbed.wav\nins\t0\nsrc\tmy take.wav\nins\tapp\nlvl\t30\nxf\t-1\t9\n",
        "crlf": b"dest\tout.wav\r\nsrc\ta.wav\r\nxin\t1.5\r\nins\tapp\r\n",
        "keyword-as-value": b"src\ttrim\t5\nsrc\tdest\tout.wav\nxf\t300\nsrc\tb.wav\n"
                            b"ins\tnan\nxin\tinf\nlvl\t-1e400\n",
        "value-first": b"xin\t3\nsrc\ta.wav\n",
        "format": b"dest\tout.wav\nformat\t48000\t24\t2\nsrc\tvoice.wav\nformat\t44100\t32f\t1\n"
                  b"src\tformat\nformat\t0\t8\t33\n",
    }


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    write("wav_read", wav_seeds())
    write("run", run_seeds())
    write("task_file", task_seeds())
