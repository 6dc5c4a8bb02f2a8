"""The panel's page in a real browser: headless Chromium through Selenium
(Debian's chromium, chromium-driver and python3-selenium, on Debian's
python3; elsewhere these tests skip, saying why). One browser for the
class, on the example machine on simulated lines: the page opened with
the token shows every axis, homes, jogs while jog + is held and stops on
its release, STOP ALL (the button and Escape) stops a move, the lamps
follow a limit switch, values not renewed go stale, a lost connection is
shown, a position is taught; and a picture of the page is
taken (QZR_KOV_PANEL_PICTURE=docs/panel.png keeps it for the docs).
Every wait is for a condition, never for a time."""
import os
import shutil
import unittest

from tests import support
from tests.test_panel import PATIENCE, PanelCase

try:
    from selenium import webdriver
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.support.ui import WebDriverWait
    NO_BROWSER = None
except ImportError:
    NO_BROWSER = ("Selenium is not installed for this interpreter (Debian's python3-selenium "
                  "serves /usr/bin/python3)")
CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
if NO_BROWSER is None and not (CHROMIUM and DRIVER):
    NO_BROWSER = "no chromium and chromedriver on PATH (Debian's chromium, chromium-driver)"


@unittest.skipIf(NO_BROWSER, NO_BROWSER)
class BrowserTest(PanelCase):
    speed = 2

    @staticmethod
    def change(data):
        # y moves slowly: a click stops it long before it arrives.
        data["axes"]["y"]["profile"]["velocity"] = 10.0

    @classmethod
    def setUpClass(cls):
        super(BrowserTest, cls).setUpClass()
        try:
            options = webdriver.ChromeOptions()
            options.binary_location = CHROMIUM
            for argument in ("--headless", "--no-sandbox", "--disable-gpu",
                             "--disable-dev-shm-usage", "--window-size=1500,1000"):
                options.add_argument(argument)
            service = webdriver.chrome.service.Service(DRIVER)
            cls.browser = webdriver.Chrome(service=service, options=options)
        except Exception:
            super(BrowserTest, cls).tearDownClass()
            raise
        cls.browser.get(cls.server.url)
        WebDriverWait(cls.browser, PATIENCE).until(
            lambda b: b.find_element(By.TAG_NAME, "body").get_attribute("data-connection")
            == "live")

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        super(BrowserTest, cls).tearDownClass()

    def wait(self, condition, what):
        try:
            WebDriverWait(self.browser, PATIENCE, poll_frequency=0.02).until(
                lambda browser: condition())
        except TimeoutException:
            raise AssertionError("still waiting for %s; the events shown: %s"
                                 % (what, self.events()))

    def card(self, name):
        return self.browser.find_element(By.CSS_SELECTOR, '[data-axis="%s"]' % name)

    def field(self, name, field):
        root = self.browser if name is None else self.card(name)
        return root.find_element(By.CSS_SELECTOR, '[data-field="%s"]' % field)

    def action(self, name, action):
        root = self.browser if name is None else self.card(name)
        return root.find_element(By.CSS_SELECTOR, '[data-action="%s"]' % action)

    def events(self):
        return [item.get_attribute("textContent") for item in
                self.browser.find_elements(By.CSS_SELECTOR, '[data-field="events"] li')]

    def test_values_no_longer_renewed_go_stale_then_the_connection_counts_as_lost(self):
        body = self.browser.find_element(By.TAG_NAME, "body")
        self.wait(lambda: self.card("x").get_attribute("data-stale") == "false", "x fresh")
        self.panel.broadcaster.state = lambda data: None        # no state reaches the page
        try:
            self.wait(lambda: all(self.card(name).get_attribute("data-stale") == "true"
                                  for name in "xyz"), "every card stale")
            self.wait(lambda: body.get_attribute("data-connection") == "lost", "the loss shown")
        finally:
            del self.panel.broadcaster.state
        self.wait(lambda: body.get_attribute("data-connection") == "live", "back live")
        self.wait(lambda: self.card("x").get_attribute("data-stale") == "false", "fresh again")

    def test_a_lost_connection_is_shown_until_it_is_back(self):
        body = self.browser.find_element(By.TAG_NAME, "body")
        for stream in list(self.panel.broadcaster._streams):
            self.panel.broadcaster.close_stream(stream)
        self.wait(lambda: body.get_attribute("data-connection") == "lost", "the loss shown")
        self.assertIn("connection lost", self.field(None, "connection").text)
        self.wait(lambda: body.get_attribute("data-connection") == "live", "back live")

    def test_the_page_shows_every_axis_live(self):
        self.assertEqual(self.browser.current_url, "http://%s/" % self.host)
        cards = self.browser.find_elements(By.CSS_SELECTOR, "[data-axis]")
        self.assertEqual([card.get_attribute("data-axis") for card in cards], ["x", "y", "z"])
        for name in "xyz":
            position = self.machine.axes[name].position
            self.wait(lambda: self.field(name, "position").text == "%.3f" % position,
                      "the position of %s" % name)
            self.wait(lambda: self.card(name).get_attribute("data-stale") == "false",
                      "%s fresh" % name)
        self.assertTrue(self.action(None, "stop-all").is_displayed())

    def test_home(self):
        self.action("z", "home").click()
        self.wait(lambda: self.field("z", "homed").text == "not homed", "z homing")
        self.wait(lambda: any("homed: z" in text for text in self.events()),
                  "homing's end among the events")
        self.wait(lambda: self.field("z", "homed").text == "homed", "z homed")
        self.assertEqual(self.field("z", "position").text, "0.000")

    def test_jog_plus_runs_while_held_and_stops_on_release(self):
        before = self.machine.axes["x"].position
        button = self.action("x", "jog-plus")
        ActionChains(self.browser).click_and_hold(button).perform()
        self.wait(lambda: self.machine.axes["x"].running, "x jogging")
        self.wait(lambda: self.field("x", "running").text == "running", "x shown running")
        # The lease runs on a clock that stands still here: only the release stops it.
        ActionChains(self.browser).release(button).perform()
        self.wait(lambda: not self.machine.axes["x"].running, "x stopped on the release")
        self.assertGreater(self.machine.axes["x"].position, before)
        self.wait(lambda: self.field("x", "running").text == "at rest", "x shown at rest")

    def test_stop_all_and_escape_stop_a_move(self):
        escape = lambda: self.browser.find_element(By.TAG_NAME, "body").send_keys(Keys.ESCAPE)
        for goal, stop in ((190, self.action(None, "stop-all").click), (5, escape)):
            target = self.field("y", "target")
            target.clear()
            target.send_keys(str(goal))
            self.action("y", "move").click()
            self.wait(lambda: self.machine.axes["y"].running, "y moving")
            stop()
            self.wait(lambda: not self.machine.axes["y"].running, "y stopped")
            self.wait(lambda: any("y: the move to %.3f mm stopped" % goal in text
                                  for text in self.events()), "the move's end among the events")
            self.assertNotAlmostEqual(self.machine.axes["y"].position, goal)
            self.panel.stop()
        target = self.field("y", "target")
        target.clear()
        target.send_keys("500")
        self.action("y", "move").click()
        self.wait(lambda: "outside the travel" in self.field("y", "message").text,
                  "the target refused with the reason")
        self.assertFalse(self.machine.axes["y"].running)

    def test_the_lamps_follow_a_limit_switch(self):
        station = self.axes.lines[0].station(2)
        lamp = self.field("y", "negative_limit")
        self.assertEqual(lamp.get_attribute("data-on"), "false")
        here = station.physical_position
        station.physical_position = station.negative_limit_at - 10
        self.addCleanup(setattr, station, "physical_position", here)
        self.wait(lambda: lamp.get_attribute("data-on") == "true", "the lamp on")
        self.assertEqual(self.field("y", "positive_limit").get_attribute("data-on"), "false")
        station.physical_position = here
        self.wait(lambda: lamp.get_attribute("data-on") == "false", "the lamp off")

    def test_teach_a_position_and_keep_a_picture(self):
        from qzr_kov_motion import description
        name = self.field("z", "teach-name")
        name.send_keys("probe")
        self.action("z", "teach").click()
        self.wait(lambda: self.card("z").find_elements(
            By.CSS_SELECTOR, '[data-action="goto"][data-position="probe"]'), "its button")
        taught = description.load_description(self.path).taught
        self.assertIn("probe", taught.positions["z"])
        # The picture, after a move, so that the plot shows something.
        self.card("x").find_element(By.CSS_SELECTOR, '[data-position="load"]').click()
        self.wait(lambda: self.field("x", "position").text == "120.000", "x at load")
        picture = os.path.join(support.REPO, os.environ.get("QZR_KOV_PANEL_PICTURE") or
                               os.path.join(support.scratch(), "panel.png"))
        self.assertTrue(self.browser.save_screenshot(picture))
        with open(picture, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


if __name__ == "__main__":
    unittest.main()
