#!/usr/bin/env python3
"""Writes the demo capture: fifteen seconds of NMEA 2000 traffic on a small motor boat that
leaves harbour, opens the throttle and turns a few degrees to starboard, past two ships and a
yacht.

The output is a candump log (one "(seconds.micros) can0 IDENTIFIER#DATA" line per frame), so
that the simulated bus and can-utils' canplayer can both replay it. Nine devices talk: a GPS, a
heading sensor, a depth/speed/temperature transducer, a wind sensor, an engine gateway, a
battery monitor, an AIS receiver, a tank monitor and a switching module. Everything they send is
described in share/n2k-devices.conf but the two manufacturers' proprietary PGNs. The GNSS fix
(129029), the satellites in view (129540), the AIS reports (129038, 129039) and the engine's
dynamic parameters (127489) are fast packets, framed as a sender frames them: the length in
frame 0, a sequence counter that goes up with each message of a sender and PGN, ones after the
last byte. The tank levels (127505) and the switch bank (127501) hold fields that start in the
middle of a byte.

The same bytes come out on every run and every machine: the random numbers come from a fixed
seed, and only additions and multiplications (no math library) shape the values. The traffic
added after the first version draws on a generator of its own, so the frames that were there
before kept their values and times.

Usage: make-demo-capture.py [OUTPUT]   (standard output without OUTPUT)
"""

import random
import sys

SEED = 20231114
INTERFACE = "can0"
START_US = 1_700_000_000_000_000  # 2023-11-14 22:13:20 UTC
TICK_US = 10_000
DURATION_TICKS = 1500  # 15 s

GPS, COMPASS, TRANSDUCER, WIND, ENGINE, BATTERY = 3, 5, 35, 16, 32, 70
AIS, TANKS, SWITCHES = 43, 80, 90

rng = random.Random(SEED)
more_rng = random.Random(SEED + 1)


def noise(amplitude):
    return (rng.random() * 2 - 1) * amplitude


def more_noise(amplitude):
    return (more_rng.random() * 2 - 1) * amplitude


def sin_series(x):
    term, total = x, x
    for n in range(1, 12):
        term *= -x * x / ((2 * n) * (2 * n + 1))
        total += term
    return total


def cos_series(x):
    term, total = 1.0, 1.0
    for n in range(1, 12):
        term *= -x * x / ((2 * n - 1) * (2 * n))
        total += term
    return total


def raw(value, resolution, bits, signed):
    """The field's raw integer, clamped below the "not available" and "error" codes."""
    number = round(value / resolution)
    if signed:
        low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 3
    else:
        low, high = 0, (1 << bits) - 3
    return min(max(number, low), high)


def field(value, resolution, nbytes, signed=False):
    number = raw(value, resolution, nbytes * 8, signed)
    return (number & ((1 << (nbytes * 8)) - 1)).to_bytes(nbytes, "little")


def u8(number):
    return bytes([number & 0xFF])


def packed(length, fields):
    """A payload of length bytes holding (first bit, bits, raw number) fields; the bits between
    them are reserved and sent as ones."""
    bits = (1 << (length * 8)) - 1
    for first, count, number in fields:
        mask = (1 << count) - 1
        bits = bits & ~(mask << first) | (number & mask) << first
    return bits.to_bytes(length, "little")


def raw_field(value, resolution, bits, signed=False):
    return raw(value, resolution, bits, signed)


def can_id(priority, pgn, source):
    # A PDU1 PGN (format byte below 240) carries its destination in the low byte: here the
    # global address, so every listener receives it.
    if (pgn >> 8) & 0xFF < 240:
        pgn |= 0xFF
    return priority << 26 | pgn << 8 | source


class Trip:
    """The boat's state, advanced one tick at a time."""

    def __init__(self):
        self.seconds = 0.0
        self.rpm = 1180.0
        self.stw = 1.8  # speed through water, m/s
        self.heading = 1.2000  # rad, true
        self.rate = 0.0  # rad/s
        self.wander = 0.0
        self.latitude = 50.3600
        self.longitude = -4.1400
        self.depth = 8.20
        self.water = 15.32
        self.house_volts = 12.62
        self.house_amps = -6.4
        self.start_volts = 12.85
        self.oil = 61.5
        self.trim = -5.0

    def advance(self):
        dt = TICK_US / 1e6
        self.seconds += dt
        t = self.seconds

        # Throttle opens between 2 s and 9 s; the hull follows the engine with a lag.
        if t < 2.0:
            target_rpm = 1200.0
        elif t < 9.0:
            target_rpm = 1200.0 + (t - 2.0) * (1950.0 / 7.0)
        else:
            target_rpm = 3150.0
        self.rpm += (target_rpm - self.rpm) * 0.08 + noise(6.0)
        target_stw = max(0.0, (self.rpm - 800.0) * 0.0042)
        self.stw += (target_stw - self.stw) * 0.004

        # A gentle turn to starboard from 4 s to 10 s.
        if 4.0 <= t < 9.0:
            commanded = 0.05
        elif 9.0 <= t < 10.0:
            commanded = 0.05 * (10.0 - t)
        else:
            commanded = 0.0
        self.wander = 0.98 * self.wander + noise(0.0015)
        self.rate = commanded + self.wander
        self.heading += self.rate * dt

        cog = self.cog()
        sog = self.sog()
        self.latitude += sog * cos_series(cog) * dt / 111_320.0
        self.longitude += sog * sin_series(cog) * dt / (111_320.0 * 0.6379)

        # The channel deepens away from the harbour.
        self.depth += 0.0045 + noise(0.004)
        self.water += noise(0.0008)
        self.oil += 0.0012 + noise(0.002)
        if t > 9.0:
            self.trim += (8.0 - self.trim) * 0.01

        # The alternator charges harder as the engine speeds up.
        charge = min(1.0, max(0.0, (self.rpm - 1000.0) / 1500.0))
        self.house_volts += (12.62 + 1.25 * charge - self.house_volts) * 0.01 + noise(0.002)
        self.house_amps += (-6.4 + 25.0 * charge - self.house_amps) * 0.02 + noise(0.05)
        self.start_volts += (12.85 + 1.25 * charge - self.start_volts) * 0.01 + noise(0.002)

    def cog(self):
        # The tide sets the boat a little to the north.
        return self.heading - 0.03 + noise(0.004)

    def sog(self):
        return max(0.0, self.stw + 0.25 + noise(0.03))


class Sequence:
    def __init__(self):
        self.value = 0

    def next(self):
        self.value = (self.value + 1) % 250
        return self.value


def message_heading(trip, sid):
    return (u8(sid.next()) + field(trip.heading % 6.2832, 0.0001, 2)
            + b"\xff\x7f" + field(-0.0175, 0.0001, 2, True) + b"\xfc")


def message_rate_of_turn(trip, sid):
    return u8(sid.next()) + field(trip.rate + noise(0.001), 3.125e-08, 4, True) + b"\xff" * 3


def message_attitude(trip, sid):
    pitch = 0.02 + 0.004 * trip.stw + noise(0.003)
    roll = 0.6 * trip.rate + noise(0.004)
    return (u8(sid.next()) + field(trip.heading % 6.2832, 0.0001, 2, True)
            + field(pitch, 0.0001, 2, True) + field(roll, 0.0001, 2, True) + b"\xff")


def message_position(trip, sid):
    return field(trip.latitude, 1e-07, 4, True) + field(trip.longitude, 1e-07, 4, True)


def message_cog_sog(trip, sid):
    return (u8(sid.next()) + b"\xfc" + field(trip.cog() % 6.2832, 0.0001, 2)
            + field(trip.sog(), 0.01, 2) + b"\xff\xff")


def message_system_time(trip, sid):
    return (u8(sid.next()) + b"\xf0" + field(19675, 1, 2)
            + field(80000 + trip.seconds, 0.0001, 4))


def message_dops(trip, sid):
    # Desired mode automatic (3), actual mode 3D (2).
    return (u8(sid.next()) + b"\xd3" + field(0.9 + noise(0.05), 0.01, 2, True)
            + field(1.4 + noise(0.05), 0.01, 2, True) + field(1.1 + noise(0.05), 0.01, 2, True))


def message_depth(trip, sid):
    # The transducer sits 0.4 m below the waterline; its range is 100 m.
    return (u8(sid.next()) + field(trip.depth + noise(0.03), 0.01, 4)
            + field(0.4, 0.001, 2, True) + u8(10))


def message_speed(trip, sid):
    # A paddle wheel knows nothing of the ground speed.
    return (u8(sid.next()) + field(trip.stw + noise(0.02), 0.01, 2) + b"\xff\xff"
            + b"\x00" + b"\xf0" + b"\xff")


def message_water_temperature(trip, sid):
    return (u8(sid.next()) + b"\x00\x00" + field(trip.water + 273.15, 0.01, 2)
            + b"\xff\xff\xff")


def message_wind(trip, sid):
    # Apparent wind: the boat's own speed adds to it and pulls it towards the bow.
    speed = 6.2 + 0.55 * trip.stw + noise(0.35)
    angle = 0.62 - 0.025 * trip.stw + noise(0.04)
    return u8(sid.next()) + field(speed, 0.01, 2) + field(angle, 0.0001, 2) + b"\xfa\xff\xff"


def message_engine_rapid(trip, sid):
    boost = max(0.0, (trip.rpm - 1500.0) * 80.0) + noise(300.0)
    return (u8(0) + field(trip.rpm, 0.25, 2) + field(max(0.0, boost), 100, 2)
            + field(trip.trim, 1, 1, True) + b"\xff\xff")


def message_transmission(trip, sid):
    return (u8(0) + b"\xfc" + field(1_900_000 + noise(20_000), 100, 2)
            + field(trip.oil + 273.15, 0.1, 2) + b"\x00\xff")


def message_battery(instance):
    def build(trip, sid):
        if instance == 0:
            volts, amps, temperature = trip.house_volts, trip.house_amps, 18.5
        else:
            volts, amps, temperature = trip.start_volts, 2.1 + noise(0.2), 17.9
        return (u8(instance) + field(volts, 0.01, 2, True) + field(amps, 0.1, 2, True)
                + field(temperature + noise(0.05) + 273.15, 0.01, 2) + u8(sid.next()))
    return build


def engine_dynamic(trip):
    """The 26 bytes of PGN 127489, sent as a fast packet."""
    load = min(100.0, trip.rpm / 40.0)
    return (u8(0) + field(420_000 + noise(3000), 100, 2) + field(368.2, 0.1, 2)
            + field(355.15 + noise(0.1), 0.01, 2) + field(trip.house_volts + 0.3, 0.01, 2, True)
            + field(4.0 + trip.rpm * 0.008, 0.1, 2, True) + field(4_444_200 + trip.seconds, 1, 4)
            + field(110_000, 100, 2) + field(350_000, 1000, 2) + b"\xff"
            + b"\x00\x00" + b"\x00\x00" + field(load, 1, 1, True) + field(load * 0.8, 1, 1, True))


def gnss_position(trip, sid):
    """The 43 bytes of PGN 129029: a fix with no reference stations listed."""
    fix_seconds = 80000 + trip.seconds
    return packed(43, [
        (0, 8, sid.next()), (8, 16, 19675), (24, 32, raw_field(fix_seconds, 0.0001, 32)),
        (56, 64, raw_field(trip.latitude, 1e-16, 64, True)),
        (120, 64, raw_field(trip.longitude, 1e-16, 64, True)),
        (184, 64, raw_field(1.8 + more_noise(0.3), 1e-06, 64, True)),
        (248, 4, 0), (252, 4, 2),  # GNSS type and method
        (256, 2, 1), (264, 8, 9),
        (272, 16, raw_field(0.9 + more_noise(0.05), 0.01, 16, True)),
        (288, 16, raw_field(1.6 + more_noise(0.05), 0.01, 16, True)),
        (304, 32, raw_field(52.34, 0.01, 32, True)), (336, 8, 0)])


# (PRN, elevation, azimuth, signal-to-noise) of the satellites the GPS sees.
SATELLITES = [(2, 0.52, 0.91, 41.0), (5, 1.12, 4.70, 45.5), (12, 0.31, 2.35, 36.0),
              (15, 0.78, 5.60, 43.0), (24, 0.12, 3.10, 29.5), (29, 0.95, 1.65, 44.0)]


def satellites_in_view(trip, sid):
    """PGN 129540: three bytes, then twelve for each satellite."""
    fields = [(0, 8, sid.next()), (8, 2, 0), (16, 8, len(SATELLITES))]
    for n, (prn, elevation, azimuth, snr) in enumerate(SATELLITES):
        first = (3 + 12 * n) * 8
        # The satellites creep across the sky: 0.0001 rad in 15 s is about what they do.
        fields += [(first, 8, prn),
                   (first + 8, 16, raw_field(elevation + trip.seconds * 1e-5, 0.0001, 16, True)),
                   (first + 24, 16, raw_field(azimuth + trip.seconds * 2e-5, 0.0001, 16)),
                   (first + 40, 16, raw_field(snr + more_noise(0.5), 0.01, 16, True)),
                   (first + 56, 32, raw_field(more_noise(2.0), 1e-05, 32, True)),
                   (first + 88, 4, 2), (first + 92, 4, 0)]
    return packed(3 + 12 * len(SATELLITES), fields)


class Target:
    """Another vessel that the AIS receiver hears, moving on a straight line."""

    def __init__(self, mmsi, latitude, longitude, course, speed, nav_status):
        self.mmsi, self.latitude, self.longitude = mmsi, latitude, longitude
        self.course, self.speed, self.nav_status = course, speed, nav_status

    def position(self, seconds):
        north = self.speed * cos_series(self.course) * seconds / 111_320.0
        east = self.speed * sin_series(self.course) * seconds / (111_320.0 * 0.6379)
        return self.latitude + north, self.longitude + east


# A ferry coming in, a trawler fishing, and a yacht under way (class B).
FERRY = Target(235001234, 50.3712, -4.1225, 3.60, 7.7, 0)
TRAWLER = Target(235098765, 50.3530, -4.1510, 5.50, 1.6, 7)
YACHT = Target(232004567, 50.3625, -4.1330, 2.40, 2.9, 15)


def ais_position_head(trip, target, message_id):
    latitude, longitude = target.position(trip.seconds)
    second = int(80000 + trip.seconds) % 60
    course = target.course + more_noise(0.01)
    return latitude, longitude, [
        (0, 6, message_id), (6, 2, 0), (8, 32, target.mmsi),
        (40, 32, raw_field(longitude, 1e-07, 32, True)),
        (72, 32, raw_field(latitude, 1e-07, 32, True)),
        (104, 1, 1), (105, 1, 0), (106, 6, second),
        (112, 16, raw_field(course % 6.2832, 0.0001, 16)),
        (128, 16, raw_field(target.speed + more_noise(0.05), 0.01, 16)),
        (144, 19, int(more_rng.random() * (1 << 19))), (163, 5, 0)]


def ais_class_a(target):
    def build(trip, sequence):
        _, _, fields = ais_position_head(trip, target, 1)
        fields += [(168, 16, raw_field((target.course + 0.02) % 6.2832, 0.0001, 16)),
                   (184, 16, raw_field(more_noise(0.002), 3.125e-05, 16, True)),
                   (200, 4, target.nav_status), (204, 2, 0), (208, 3, 0), (216, 8, 0)]
        return packed(28, fields)
    return build


def ais_class_b(target):
    def build(trip, sequence):
        _, _, fields = ais_position_head(trip, target, 18)
        # No heading sensor (all ones); then the flags of byte 24 from its bit 2 on: unit
        # type 1, no integrated display, DSC, band, message 22, mode 0.
        fields += [(168, 16, 0xFFFF), (184, 8, 0), (192, 2, 0), (194, 1, 1), (195, 1, 0),
                   (196, 1, 1), (197, 1, 1), (198, 1, 1), (199, 1, 0), (200, 1, 1),
                   (208, 8, 0)]
        return packed(27, fields)
    return build


def fluid_level(instance, fluid, capacity, level, drain):
    """PGN 127505: the instance in the low half of byte 0, the fluid type in the high half."""
    def build(trip, sequence):
        percent = level - drain * trip.seconds + more_noise(0.05)
        return packed(8, [(0, 4, instance), (4, 4, fluid),
                          (8, 16, raw_field(percent, 0.004, 16, True)),
                          (24, 32, raw_field(capacity, 0.1, 32))])
    return build


def switch_bank(trip, sequence):
    """PGN 127501: four 2-bit indicators a byte. Navigation lights (1) on, anchor light (2)
    off, deck light (3) off, the bilge pump (4) switching on at 8 s, the horn (5) off; the
    other 23 channels are not fitted (3)."""
    states = [1, 0, 0, 1 if trip.seconds >= 8.0 else 0, 0] + [3] * 23
    return packed(8, [(0, 8, 0)] + [(8 + 2 * n, 2, state) for n, state in enumerate(states)])


def proprietary(manufacturer, data):
    # A manufacturer's own single-frame PGN: its code (11 bits), two reserved ones, then the
    # marine industry group (4), then bytes only its maker reads.
    def build(trip, sequence):
        return packed(2, [(0, 11, manufacturer), (13, 3, 4)]) + data
    return build


def fast_packet_frames(sequence, data):
    # The first frame carries the total length; each frame has a counter in its first byte.
    frames = [bytes([sequence << 5, len(data)]) + data[:6]]
    rest = data[6:]
    index = 1
    while rest:
        chunk = rest[:7]
        rest = rest[7:]
        frames.append(bytes([sequence << 5 | index]) + chunk + b"\xff" * (7 - len(chunk)))
        index += 1
    return frames


# The device function and class codes in each device's NAME.
FUNCTIONS = {GPS: (145, 60), COMPASS: (140, 60), TRANSDUCER: (130, 60), WIND: (130, 85),
             ENGINE: (160, 50), BATTERY: (170, 35), AIS: (195, 60), TANKS: (150, 75),
             SWITCHES: (140, 30)}


def address_claim(source, generator=rng):
    # A NAME of the marine industry group, self-configurable, with an identity of its own.
    identity = int(generator.random() * (1 << 21))
    manufacturer = 100 + int(generator.random() * 900)
    function, device_class = FUNCTIONS[source]
    name = (identity | manufacturer << 21 | function << 40 | device_class << 49 | 4 << 60
            | 1 << 63)
    return name.to_bytes(8, "little")


def heartbeat(counter):
    return field(60, 0.001, 2) + u8(counter) + b"\xff" * 5


# (ticks between messages, first tick, priority, PGN, source, payload builder) of the traffic
# added later; its frame times draw on their own generator. Fast-packet PGNs are cut into frames.
MORE_PERIODIC = [
    (100, 9, 3, 129029, GPS, gnss_position),
    (300, 60, 6, 129540, GPS, satellites_in_view),
    (300, 25, 4, 129038, AIS, ais_class_a(FERRY)),
    (500, 210, 4, 129038, AIS, ais_class_a(TRAWLER)),
    (400, 120, 4, 129039, AIS, ais_class_b(YACHT)),
    (250, 33, 6, 127505, TANKS, fluid_level(1, 0, 320.0, 68.4, 0.002)),
    (250, 36, 6, 127505, TANKS, fluid_level(0, 1, 120.0, 81.0, 0.0)),
    (200, 45, 3, 127501, SWITCHES, switch_bank),
    (100, 70, 7, 65284, ENGINE, proprietary(135, bytes([0x01, 0x20, 0x00, 0xFF, 0xFF, 0x10]))),
    (500, 95, 7, 65305, BATTERY, proprietary(358, bytes([0x02, 0x0C, 0x5A, 0x00, 0x00, 0xFF]))),
]
FAST_PACKET = {127489, 129029, 129038, 129039, 129540}

# (ticks between messages, first tick, priority, PGN, source, payload builder)
PERIODIC = [
    (10, 0, 2, 127250, COMPASS, message_heading),
    (10, 1, 2, 127251, COMPASS, message_rate_of_turn),
    (50, 7, 3, 127257, COMPASS, message_attitude),
    (20, 3, 2, 129025, GPS, message_position),
    (25, 4, 2, 129026, GPS, message_cog_sog),
    (100, 5, 3, 126992, GPS, message_system_time),
    (100, 55, 6, 129539, GPS, message_dops),
    (100, 12, 3, 128267, TRANSDUCER, message_depth),
    (100, 14, 2, 128259, TRANSDUCER, message_speed),
    (200, 16, 5, 130312, TRANSDUCER, message_water_temperature),
    (25, 8, 2, 130306, WIND, message_wind),
    (10, 2, 2, 127488, ENGINE, message_engine_rapid),
    (100, 40, 2, 127493, ENGINE, message_transmission),
    (100, 30, 6, 127508, BATTERY, message_battery(0)),
    (100, 80, 6, 127508, BATTERY, message_battery(1)),
]

DEVICES = [GPS, COMPASS, TRANSDUCER, WIND, ENGINE, BATTERY]
MORE_DEVICES = [AIS, TANKS, SWITCHES]


def generate():
    trip = Trip()
    frames = []  # (time in microseconds, order of generation, identifier, data)

    def emit(tick, priority, pgn, source, data, after=0, jitter=rng):
        when = tick * TICK_US + after + int(jitter.random() * 400)
        frames.append((when, len(frames), can_id(priority, pgn, source), data))

    # Each sender counts its fast-packet messages per PGN, from 0, modulo 8.
    fast_counters = {}

    def emit_fast(tick, priority, pgn, source, data, jitter):
        counter = fast_counters.get((pgn, source), 0)
        # The frames of one packet follow each other closely and in order.
        for n, frame in enumerate(fast_packet_frames(counter, data)):
            emit(tick, priority, pgn, source, frame, after=500 * n, jitter=jitter)
        fast_counters[(pgn, source)] = (counter + 1) % 8

    # Every device claims its address as the bus comes up, then beats once a minute.
    for n, source in enumerate(DEVICES):
        emit(n, 6, 60928, source, address_claim(source))
    beat_ticks = sorted(int(rng.random() * DURATION_TICKS) for _ in DEVICES)
    for n, source in enumerate(MORE_DEVICES):
        emit(len(DEVICES) + n, 6, 60928, source, address_claim(source, more_rng),
             jitter=more_rng)
    beat_ticks += sorted(int(more_rng.random() * DURATION_TICKS) for _ in MORE_DEVICES)

    sequences = [Sequence() for _ in PERIODIC]
    more_sequences = [Sequence() for _ in MORE_PERIODIC]
    for tick in range(DURATION_TICKS):
        trip.advance()
        for (period, first, priority, pgn, source, build), sid in zip(PERIODIC, sequences):
            if tick >= first and (tick - first) % period == 0:
                emit(tick, priority, pgn, source, build(trip, sid))
        if tick % 50 == 20:
            emit_fast(tick, 2, 127489, ENGINE, engine_dynamic(trip), rng)
        for (period, first, priority, pgn, source, build), sid in zip(MORE_PERIODIC,
                                                                      more_sequences):
            if tick >= first and (tick - first) % period == 0:
                data = build(trip, sid)
                if pgn in FAST_PACKET:
                    emit_fast(tick, priority, pgn, source, data, more_rng)
                else:
                    emit(tick, priority, pgn, source, data, jitter=more_rng)
        for source, beat in zip(DEVICES + MORE_DEVICES, beat_ticks):
            if tick == beat:
                emit(tick, 7, 126993, source, heartbeat(tick % 256),
                     jitter=rng if source in DEVICES else more_rng)

    frames.sort()
    lines = []
    for when, _, identifier, data in frames:
        stamp = START_US + when
        lines.append("(%d.%06d) %s %08X#%s\n" % (stamp // 1_000_000, stamp % 1_000_000,
                                                 INTERFACE, identifier, data.hex().upper()))
    return "".join(lines)


def main():
    if len(sys.argv) > 2:
        sys.exit(__doc__)
    text = generate()
    if len(sys.argv) == 2:
        with open(sys.argv[1], "w", encoding="ascii", newline="\n") as out:
            out.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
