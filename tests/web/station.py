"""The browser station under test: a plant folder of its own with a device file for a
printer, tarnwickd on a free port of loopback, and Debian's Chromium driven headless
through chromedriver."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

TARNWICKD = os.environ.get("TARNWICKD", "")
CLI = os.environ.get("TARNWICK_CLI", "")
CONFIG = "Tarnwick settings\r\nStartRow,2\r\nExtraQty,2\r\nSpare,0\r\nBaseH,5\r\nBaseV,10\r\nParallelPort,labels.prn\r\n"
CUTS = ("WIP,Style,Color,Waist,Length,Length Desc,Line 1,Line 2,Line 3,Barcode,Made In,Qty,Stock\r\n"
        "40123,1234,7,32,30,REG,POLY COTTON WOVEN,65% POLYESTER,35% COTTON,,USA,24,WB1\r\n"
        "40124,1234,12,34,32,LONG,POLY WOOL WOVEN,55% POLYESTER,45% WOOL,,USA,18,WB1\r\n"
        "40125,1234,5,36,30,REG,MICROFIBER,100% POLYESTER,,,USA,12,WB2\r\n")


def labels(device):
    return device.count(b"\x1bZ")


class Plant:
    """A plant folder: config.txt, data.mdb, style 1234 printing C1, and a device file."""

    def __init__(self, extra_config=""):
        self.folder = tempfile.mkdtemp(prefix="tarnwick-web-")
        self.write_config(CONFIG)
        open(self.device_path(), "wb").close()
        self.cli("db", "init")
        self.cli("styles", "set", "1234", "calh020")
        # Pairs such as a plant database come last: the station's own copy is made first.
        self.write_config(CONFIG + extra_config)

    def write_config(self, text):
        with open(os.path.join(self.folder, "config.txt"), "w", newline="") as f:
            f.write(text)

    def cli(self, *args, check=True):
        run = subprocess.run([CLI, *args, "--folder", self.folder], capture_output=True, text=True)
        if check and run.returncode != 0:
            raise AssertionError("tarnwick-cli %s: %s" % (" ".join(args), run.stderr))
        return run

    def token(self, name, role="operator"):
        return self.cli("tokens", "add", name, "--role", role).stdout.strip()

    def device_path(self):
        return os.path.join(self.folder, "labels.prn")

    def device(self):
        with open(self.device_path(), "rb") as f:
            return f.read()

    def history(self):
        return [line.split("\t") for line in self.cli("history").stdout.splitlines()]

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


class Service:
    """tarnwickd on 127.0.0.1 and a port of its choosing."""

    def __init__(self, plant):
        self.log = open(os.path.join(plant.folder, "tarnwickd.log"), "w+")
        self.process = subprocess.Popen([TARNWICKD, "--folder", plant.folder, "--listen", "127.0.0.1:0"],
                                        stdout=subprocess.DEVNULL, stderr=self.log)
        self.port = 0
        for _ in range(500):
            self.log.seek(0)
            found = re.search(r"^tarnwickd .* serving .* port (\d+)", self.log.read(), re.M)
            if found:
                self.port = int(found.group(1))
                break
            if self.process.poll() is not None:
                break
            time.sleep(0.01)
        if not self.port:
            self.log.seek(0)
            raise AssertionError("tarnwickd did not start: " + self.log.read())
        self.url = "http://127.0.0.1:%d" % self.port

    def request(self, method, path, body=None, headers=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.url + path, data=data, method=method, headers=headers or {})
        if data is not None:
            request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, timeout=20) as answer:
                return answer.status, answer.read()
        except urllib.error.HTTPError as error:
            return error.code, error.read()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()


def browser(width=1280, height=800):
    chromium = shutil.which("chromium")
    driver = shutil.which("chromedriver")
    if not chromium or not driver:
        raise AssertionError("The browser tests need Debian's chromium and chromium-driver (and python3-selenium); "
                             "./test installs them through scripts/packages.txt.")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as DriverService

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=%d,%d" % (width, height)):
        options.add_argument(argument)
    return webdriver.Chrome(service=DriverService(driver), options=options)


class StationCase(unittest.TestCase):
    """A plant, its service and a browser for each test; the page is signed in when asked."""

    extra_config = ""

    def setUp(self):
        # Each part is undone however far the set-up got.
        self.plant = Plant(self.extra_config)
        self.addCleanup(self.plant.remove)
        # Tokens first: the service reads them when it starts.
        self.secret = self.plant.token("line1")
        self.service = Service(self.plant)
        self.addCleanup(self.service.stop)
        self.driver = browser()
        self.addCleanup(self.driver.quit)

    def by_id(self, element_id):
        return self.driver.find_element("id", element_id)

    def wait(self, condition, what, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                value = condition()
                if value:
                    return value
            except Exception:  # an element not there yet
                pass
            time.sleep(0.05)
        self.fail("waited %d s for %s" % (timeout, what))

    def open_page(self):
        self.driver.get(self.service.url + "/")
        self.wait(lambda: self.driver.execute_script("return document.body.dataset.ready") == "true", "the page")

    def sign_in(self, secret=None):
        self.open_page()
        self.by_id("login-token").send_keys(secret or self.secret)
        self.by_id("login-submit").click()
        self.wait(lambda: self.by_id("station").is_displayed() and self.by_id("printer").get_attribute("value"),
                  "the station after sign-in")

    def type_into(self, fields):
        for element_id, text in fields.items():
            box = self.by_id(element_id)
            box.clear()
            box.send_keys(text)

    def result(self):
        return self.wait(lambda: self.by_id("result").text, "the job's answer")

    def message(self):
        self.wait(lambda: self.by_id("message").is_displayed(), "the message")
        return self.by_id("message-title").text, self.by_id("message-text").text
