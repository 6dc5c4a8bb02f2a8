"""The controller class as a whole: its members in definition order, their
parameters, annotations, defaults and documentation."""
import inspect
import re
import typing
import unittest

from tests.support import qzr_kov

C = qzr_kov.KOVAxisController
S, OL, OF = "station: int", "status_words: Optional[list] = None", "direction: Direction"


def sig(params, returns=None):
    """The signature as inspect shows it, module prefixes dropped."""
    text = "(self" + (", " + params if params else "") + ")"
    return text + (" -> " + returns if returns else "")


MEMBERS = [
    ("__init__", sig("port, baudrate=115200")),
    ("close", sig("force=False")),
    ("__del__", sig("")),
    ("finding_o_method", None),
    ("open", sig("port")),
    ("set_ppmm", sig(S + ", ppmm: Union[int, float]")),
    ("ppmm", sig(S)),
    ("to_pulse", sig(S + ", value: float")),
    ("from_pulse", sig(S + ", value")),
    ("stop", sig(S)),
    ("set_start_velocity", sig(S + ", velocity: float")),
    ("set_velocity", sig(S + ", velocity: float")),
    ("set_acceleration_time", sig(S + ", time: float")),
    ("set_parameters", sig(S + ", start_velocity: float, velocity: float, acceleration_time: float")),
    ("set_absolute_target", sig(S + ", target")),
    ("set_relative_target", sig(S + ", target")),
    ("locate_absolutely", sig(S + ", target: float")),
    ("locate_relatively", sig(S + ", target: Optional[float] = None")),
    ("wait_for_locating_done", sig(S + ", timeout: float = 0.0")),
    ("run_positive", sig(S)),
    ("run_negative", sig(S)),
    ("enable_axis", sig(S)),
    ("disable_axis", sig(S)),
    ("_find_o", sig(S + ", " + OF)),
    ("status_words", sig(S)),
    ("get_position", sig(S + ", " + OL)),
    ("set_position", sig(S + ", position: float")),
    ("set_here_o", sig(S)),
    ("is_alarming", sig(S + ", " + OL)),
    ("is_running", sig(S + ", " + OL)),
    ("at_o", sig(S + ", " + OL)),
    ("at_positive_limit", sig(S + ", " + OL)),
    ("at_negative_limit", sig(S + ", " + OL)),
    ("at_emergency", sig(S + ", " + OL)),
    ("get_stop_source", sig(S, returns="StopSource")),
    ("get_coil", sig(S + ", name: str")),
    ("set_coil", sig(S + ", name: str, value: bool")),
    ("get_coil_uint16", sig(S + ", name: str")),
    ("set_coil_uint16", sig(S + ", name: str, value: int")),
    ("_KOVAxisController__find_o_stage_0", sig(S + ", " + OF)),
    ("_find_o_thread_func", sig(S + ", " + OF)),
    ("_find_o_origin_only", sig(S + ", " + OF)),
    ("_find_o_thread_func_limit_first_then_backward", sig(S + ", " + OF)),
    ("find_o", sig(S + ", start_velocity: float, velocity: float, acceleration_time: float, "
                   "direction: Direction = <Direction.Negative: -1>")),
    ("is_finding_o", sig(S)),
    ("wait_for_find_o_finish", sig(S + ", timeout: Optional[float] = None")),
    ("origin_rising_valid", sig(S + ", value: bool")),
    ("disable_negative_limit", sig(S)),
    ("enable_negative_limit", sig(S)),
    ("negative_limit_is_disabled", sig(S, returns="bool")),
    ("disable_positive_limit", sig(S)),
    ("enable_positive_limit", sig("axis")),
    ("positive_limit_is_disabled", sig(S, returns="bool")),
    ("disable_alarm", sig(S)),
    ("enable_alarm", sig(S)),
    ("alarm_is_disabled", sig(S, returns="bool")),
    ("disable_emergency", sig(S)),
    ("enable_emergency", sig(S)),
    ("emergency_is_disabled", sig(S, returns="bool")),
    ("reverse_direction_output", sig(S + ", value: bool = True")),
]

DOCUMENTED = {
    "wait_for_locating_done", "is_running", "status_words", "set_here_o", "is_finding_o",
    "set_position", "is_alarming", "disable_alarm", "wait_for_find_o_finish", "enable_axis",
    "locate_relatively", "enable_emergency", "locate_absolutely", "reverse_direction_output",
    "origin_rising_valid", "run_negative", "set_parameters", "enable_alarm", "run_positive",
    "disable_emergency", "disable_axis", "find_o",
}


def annotation_text(annotation):
    text = inspect.formatannotation(annotation).replace("qzr_kov.", "").replace("typing.", "")
    # Older versions spell Optional[X] out as a union with None.
    return re.sub(r"^Union\[(\w+), NoneType\]$", r"Optional[\1]", text)


def shown(signature):
    """The signature as text in one spelling for every interpreter version."""
    params = []
    for p in signature.parameters.values():
        text = p.name
        if p.annotation is not p.empty:
            text += ": " + annotation_text(p.annotation)
        if p.default is not p.empty:
            text += (" = " if p.annotation is not p.empty else "=") + repr(p.default)
        params.append(text)
    text = "(" + ", ".join(params) + ")"
    if signature.return_annotation is not signature.empty:
        text += " -> " + annotation_text(signature.return_annotation)
    return text


class MemberTableTest(unittest.TestCase):
    def test_members_in_definition_order(self):
        names = [n for n in vars(C) if n not in ("__module__", "__dict__", "__weakref__", "__doc__",
                                                 "__qualname__")]
        self.assertEqual(names, [name for name, _ in MEMBERS])

    def test_parameters_annotations_and_defaults(self):
        for name, expected in MEMBERS:
            if expected is None:
                continue
            with self.subTest(name=name):
                self.assertEqual(shown(inspect.signature(vars(C)[name])), expected)

    def test_the_property(self):
        prop = vars(C)["finding_o_method"]
        self.assertIsInstance(prop, property)
        self.assertEqual(prop.fget.__annotations__, {"return": qzr_kov.FindingOMethod})
        self.assertEqual(prop.fset.__annotations__, {"value": qzr_kov.FindingOMethod})
        self.assertEqual(prop.fget.__name__, "finding_o_method")
        self.assertIsNone(prop.__doc__)

    def test_annotation_objects_are_the_real_ones(self):
        ann = C.get_position.__annotations__
        self.assertIs(ann["station"], int)
        self.assertEqual(ann["status_words"], typing.Optional[list])
        self.assertIs(C.find_o.__annotations__["direction"], qzr_kov.Direction)
        self.assertEqual(C.__del__.__annotations__, {})

    def test_private_stage_method_keeps_its_own_name(self):
        f = vars(C)["_KOVAxisController__find_o_stage_0"]
        self.assertEqual((f.__name__, f.__qualname__),
                         ("__find_o_stage_0", "KOVAxisController.__find_o_stage_0"))


class DocstringTest(unittest.TestCase):
    def test_which_members_are_documented(self):
        for name, _ in MEMBERS:
            member = vars(C)[name]
            doc = member.__doc__
            with self.subTest(name=name):
                if name in DOCUMENTED:
                    self.assertTrue(doc.startswith("\n\t\t") and doc.endswith("\n\t\t"), repr(doc))
                else:
                    self.assertIsNone(doc)

    def test_line_layout(self):
        self.assertEqual(C.set_here_o.__doc__,
                         "\n\t\t设置当前位置为坐标原点。\n\t\t:param station: 电机控制模块的站号。\n\t\t")
        lines = C.wait_for_locating_done.__doc__.split("\n")
        self.assertEqual(lines[4], "\t\t\t\t如果等待超时，抛出 Timeout 异常。")
        lines = C.wait_for_find_o_finish.__doc__.split("\n")
        self.assertEqual(lines[3], "\t\t\t1)找原点动作未能在超时前结束，函数返回 None")
        self.assertEqual(lines[9:11], ["\t\t\t3)以上两点都没有发生，将一直等待", ""])
        self.assertEqual(len(C.set_parameters.__doc__.split("\n")), 7)


if __name__ == "__main__":
    unittest.main()
