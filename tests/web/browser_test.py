#!/usr/bin/env python3
"""The board's page in a real browser: headless Chromium driven by Selenium,
as a user clicks and types in it.

    browser_test.py TL500_SIM SCREENSHOT.png

One session against one live run (real time): the banner in the page's
terminal; key 1 typed there and LED1 lighting in the drawing; the actuator
menu opened and ACT1 switched from the page's keyboard; DIP1 flipped from the
page and read in the menu's read-out; the light level moved and read by the
light sensor test; a fault set from the menu and its diagnostic; 'S' sent as
the ZigBee peer and the three-byte reply shown; pause holding virtual time and
continue releasing it. The page is kept as a screenshot. Every wait has a
deadline; the browser and the run are ended on the way out.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

START_TIMEOUT = 20.0
STEP_TIMEOUT = 15.0


class Failure(Exception):
    pass


def start_sim(sim):
    proc = subprocess.Popen([sim, "--web", "0"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    os.set_blocking(proc.stderr.fileno(), False)
    err = b""
    deadline = time.monotonic() + START_TIMEOUT
    while time.monotonic() < deadline:
        chunk = proc.stderr.read()
        if chunk:
            err += chunk
        m = re.search(rb"(http://127\.0\.0\.1:\d+/)\n", err)
        if m:
            return proc, m.group(1).decode()
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    raise Failure("tl500-sim printed no address: %r" % err)


def start_browser(profile):
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                 "--window-size=1400,1000", "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    service = Service(shutil.which("chromedriver") or "/usr/bin/chromedriver")
    return webdriver.Chrome(service=service, options=options)


class Page:
    def __init__(self, driver):
        self.driver = driver

    def wait(self, condition, what, timeout=STEP_TIMEOUT):
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(lambda d: condition())
        except Exception as e:
            raise Failure("%s: not seen within %.0f s (%s)\nterminal:\n%s" % (what, timeout, type(e).__name__,
                                                                               self.terminal()[-1500:]))

    def terminal(self):
        """Every line of the page's terminal, scrollback included."""
        return self.driver.execute_script("""
            const t = window.tl500Terminal; if (!t) return '';
            const b = t.buffer.active; const lines = [];
            for (let i = 0; i < b.length; i++) lines.push(b.getLine(i).translateToString(true));
            return lines.join('\\n');""")

    def wait_terminal(self, text, what, after=0):
        self.wait(lambda: self.terminal().find(text, after) >= 0, what)
        return self.terminal().find(text, after) + len(text)

    def type(self, keys):
        self.driver.find_element(By.CSS_SELECTOR, ".xterm-helper-textarea").send_keys(keys)

    def attr(self, element_id, name):
        return self.driver.find_element(By.ID, element_id).get_attribute(name)

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text


def session(page, url, screenshot):
    driver = page.driver
    driver.get(url)
    if driver.find_elements(By.ID, "terminal-missing"):
        raise Failure("the page says its terminal was not built in: %s" % page.text("terminal-missing"))
    at = page.wait_terminal("IoT Tamberlux TL500 Test", "the banner in the page's terminal")
    at = page.wait_terminal("x> quit", "the main menu", at)

    # Key 1: the LED test; LED1 lights in the drawing.
    if page.attr("led1", "data-lit") != "false":
        raise Failure("LED1 is dark at power-on")
    page.type("1")
    at = page.wait_terminal("1 is selected", "key 1 typed in the page's terminal", at)
    page.wait(lambda: page.attr("led1", "data-lit") == "true", "LED1 lit during the LED test")
    at = page.wait_terminal("x> quit", "the menu after the LED test", at)

    # Key 5: the actuator menu; key 1 there switches ACT1 on.
    page.type("5")
    at = page.wait_terminal("Test_Actuator() S", "the actuator menu", at)
    at = page.wait_terminal("x> quit", "the actuator menu's keys", at)
    page.type("1")
    at = page.wait_terminal("1 is selected", "ACT1 switched", at)
    page.wait(lambda: page.attr("act1", "data-state") == "on", "ACT1 on in the drawing")

    # DIP1 closed from the page reads 0 in the menu's read-out, open again 1.
    driver.find_element(By.ID, "dip1").click()
    page.wait(lambda: page.attr("dip1", "data-level") == "low", "DIP1 closed, its line low")
    page.type("a")
    at = page.wait_terminal("Dip Switch Port D4: 0", "DIP1 closed in the read-out", at)
    driver.find_element(By.ID, "dip1").click()
    page.wait(lambda: page.attr("dip1", "data-level") == "high", "DIP1 open, its line high")
    page.type("a")
    at = page.wait_terminal("Dip Switch Port D4: 1", "DIP1 open in the read-out", at)
    page.type("x")
    at = page.wait_terminal("0> System Information", "back in the main menu", at)

    # The light level moved in the page, read by the light sensor test.
    lux = driver.find_element(By.CSS_SELECTOR, "input[type=number][data-sensor='bh17.lux']")
    lux.clear()
    lux.send_keys("1000\t")
    page.wait(lambda: "set bh17.lux 1000: ok" in page.text("answer"), "the light level set")
    page.type("3")
    at = page.wait_terminal("1> Get Data", "the light sensor test", at)
    time.sleep(0.5)  # the first result comes 120 ms of board time after the command
    page.type("1")
    at = page.wait_terminal("Lux: 0x1000.000000", "the light level in the light sensor test", at)
    page.type("x")
    at = page.wait_terminal("0> System Information", "back in the main menu", at)

    # A fault from the menu: the temperature sensor absent, its diagnostic.
    Select(driver.find_element(By.CSS_SELECTOR, "#faults select[data-address='0x40']")).select_by_value("absent")
    page.wait(lambda: "fault i2c 0x40 absent: ok" in page.text("answer"), "the fault set")
    page.type("4")
    at = page.wait_terminal("[ERROR] SENSOR_HTU21_Write_Command() 104", "the absent sensor's diagnostic", at)
    at = page.wait_terminal("x> quit", "the sensor menu", at)
    Select(driver.find_element(By.CSS_SELECTOR, "#faults select[data-address='0x40']")).select_by_value("none")
    page.wait(lambda: "fault clear: ok" in page.text("answer"), "the fault cleared")
    page.type("x")
    at = page.wait_terminal("0> System Information", "back in the main menu", at)

    # 'S' from the ZigBee peer: the board answers with three status bytes,
    # ACT1 on in the first.
    before = page.text("zigbee")
    peer = driver.find_element(By.ID, "peer-bytes")
    peer.send_keys("S\n")
    at = page.wait_terminal("S is received", "the peer's S on the console", at)
    page.wait(lambda: page.text("zigbee")[len(before):] == "\\x01\\x00\\x00",
              "the three-byte reply on the ZigBee line (have %r)" % page.text("zigbee"))

    # Pause: virtual time stops; continue: it moves again.
    driver.find_element(By.ID, "pause").click()
    page.wait(lambda: driver.find_element(By.TAG_NAME, "body").get_attribute("data-paused") == "true", "paused")
    held = page.text("time")
    time.sleep(1.0)
    if page.text("time") != held:
        raise Failure("virtual time moved while paused: %s then %s" % (held, page.text("time")))
    driver.save_screenshot(screenshot)
    driver.find_element(By.ID, "continue").click()
    page.wait(lambda: page.text("time") != held, "virtual time moving after continue")


def main():
    sim, screenshot = sys.argv[1], os.path.abspath(sys.argv[2])
    proc = driver = None
    profile = tempfile.mkdtemp(prefix="tl500-browser-")
    try:
        proc, url = start_sim(sim)
        driver = start_browser(profile)
        session(Page(driver), url, screenshot)
        driver.quit()
        driver = None
        # The page closed mid-run: the run goes on until the signal.
        time.sleep(0.5)
        if proc.poll() is not None:
            raise Failure("the run ended when the browser closed")
        proc.send_signal(signal.SIGTERM)
        status = proc.wait(timeout=STEP_TIMEOUT)
        if status != 128 + signal.SIGTERM:
            raise Failure("SIGTERM ends the run with 143, got %d" % status)
    except Failure as failure:
        sys.stderr.write("FAIL: %s\n" % failure)
        return 1
    finally:
        if driver is not None:
            driver.quit()
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
        shutil.rmtree(profile, ignore_errors=True)
    print("ok: the page in a browser; screenshot %s" % screenshot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
