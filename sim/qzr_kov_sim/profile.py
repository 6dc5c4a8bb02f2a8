"""Velocity profiles of the pulse output.

A profile gives the distance covered (in pulses, counted from the start of
the run and never decreasing) as a function of clock time.  It is made of
segments of constant acceleration ``(t_begin, p_begin, v_begin, acc,
duration)``; a run that goes on until stopped has a last segment of
infinite duration and no end.
"""

import math

INF = float("inf")


def _reach(segment):
    t_begin, p_begin, v_begin, acc, duration = segment
    if duration == INF:
        return INF if v_begin > 0 or acc > 0 else p_begin
    return p_begin + v_begin * duration + acc * duration * duration / 2


class Profile(object):
    def __init__(self, segments, end_time=None, end_pulses=None):
        self.segments = segments
        self.end_time = end_time
        self.end_pulses = end_pulses

    def state(self, t):
        """(distance, velocity) at time T."""
        if self.end_time is not None and t >= self.end_time:
            return float(self.end_pulses), 0.0
        current = self.segments[0]
        for segment in self.segments:
            if segment[0] > t:
                break
            current = segment
        t_begin, p_begin, v_begin, acc, duration = current
        dt = min(max(t - t_begin, 0.0), duration)
        return p_begin + v_begin * dt + acc * dt * dt / 2, v_begin + acc * dt

    def pulses_at(self, t):
        """Whole pulses sent by time T."""
        pulses = int(math.floor(self.state(t)[0] + 1e-9))
        return pulses if self.end_pulses is None else min(pulses, self.end_pulses)

    def velocity_at(self, t):
        return self.state(t)[1]

    def time_at(self, pulses):
        """Earliest time the distance reaches PULSES, None if it never does."""
        for segment in self.segments:
            t_begin, p_begin, v_begin, acc, duration = segment
            if pulses > _reach(segment):
                continue
            delta = pulses - p_begin
            if delta <= 0:
                return t_begin
            denominator = v_begin + math.sqrt(max(v_begin * v_begin + 2 * acc * delta, 0.0))
            if denominator > 0:
                return t_begin + min(2 * delta / denominator, duration)
        if self.end_pulses is not None and pulses <= self.end_pulses:
            return self.end_time
        return None


def _ramp(v_from, v_to, acc):
    """Distance to change speed between V_FROM and V_TO at rate ACC."""
    return abs(v_to * v_to - v_from * v_from) / (2 * acc)


def positioning(t0, distance, v_start, v_max, acc):
    """Trapezoid (or triangle) covering DISTANCE > 0 pulses."""
    v_start = min(v_start, v_max)
    if acc == INF or v_start >= v_max:
        duration = distance / float(v_max)
        return Profile([(t0, 0.0, float(v_max), 0.0, duration)], t0 + duration, distance)
    ramp = _ramp(v_start, v_max, acc)
    peak, cruise = v_max, (distance - 2 * ramp) / float(v_max)
    if cruise < 0:
        peak, ramp, cruise = math.sqrt(v_start * v_start + acc * distance), distance / 2.0, 0.0
    ramp_time = (peak - v_start) / acc
    segments = [(t0, 0.0, float(v_start), acc, ramp_time)]
    t = t0 + ramp_time
    if cruise > 0:
        segments.append((t, ramp, float(peak), 0.0, cruise))
        t += cruise
    segments.append((t, distance - ramp, float(peak), -acc, ramp_time))
    return Profile(segments, t + ramp_time, distance)


def endless(t0, v_start, v_max, acc):
    """Accelerate to V_MAX and keep running until stopped."""
    v_start = min(v_start, v_max)
    if acc == INF or v_start >= v_max:
        return Profile([(t0, 0.0, float(v_max), 0.0, INF)])
    ramp_time = (v_max - v_start) / acc
    return Profile([(t0, 0.0, float(v_start), acc, ramp_time),
                    (t0 + ramp_time, _ramp(v_start, v_max, acc), float(v_max), 0.0, INF)])


def stopping(profile, t, v_start, acc):
    """Continue PROFILE from time T by decelerating to V_START, then stop."""
    position, velocity = profile.state(t)
    here = int(math.floor(position + 1e-9))
    if acc == INF or velocity <= v_start:
        return Profile([], t, here)
    end = max(here, int(round(position + _ramp(velocity, v_start, acc))))
    if profile.end_pulses is not None:
        end = min(end, profile.end_pulses)
    duration = (velocity - v_start) / acc
    return Profile([(t, position, velocity, -acc, duration)], t + duration, end)
