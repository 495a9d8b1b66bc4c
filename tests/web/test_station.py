"""The browser station in a real browser: typing and printing, refusals, a cut sheet,
History with Reprint, Preview, the login, and a plant outage told as it happens."""

import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from station import CUTS, StationCase, labels  # noqa: E402

TYPED = {"wip": "004512", "style": "1234", "color": "5", "waist": "32", "length-desc": "R", "qty": "24"}


class Printing(StationCase):
    def test_typed_label_prints_the_bytes_compose_writes(self):
        self.sign_in()
        self.type_into(TYPED)
        # Enter in a box prints, as the keyboard alone would.
        self.by_id("qty").send_keys("\n")
        self.assertRegex(self.result(), r"^Printed job 1: layout C1 on printer default, quantity 24\.$")
        # The typed label's bar code: style padded to 5, O0 and the colour, waist and length
        # description right-aligned in 3, padded to 17.
        compose = self.plant.cli("compose", "--layout", "C1", "--wip", "004512", "--style", "1234", "--color", "5",
                                 "--waist", "32", "--length-desc", "R", "--qty", "24", "--barcode",
                                 "1234 O05 32  R   ")
        self.assertEqual(self.plant.device(), compose.stdout.encode("latin-1"))
        job = self.plant.history()[0]
        self.assertIn("service:line1", job)
        self.assertIn("sent", job)

    def test_refusals_show_the_windows_words(self):
        self.sign_in()
        cases = [
            ({"wip": "", "style": "1234"}, "Invalide Data", "You must select a file or manually enter the data.", "wip"),
            ({"wip": "004512", "style": "9999"}, "Style Not Found", "The selected style does not exist in the database.",
             "style"),
        ]
        for fields, title, text, focused in cases:
            with self.subTest(title=title):
                self.type_into(fields)
                self.by_id("print").click()
                self.assertEqual(self.message(), (title, text))
                self.assertEqual(self.driver.switch_to.active_element.get_attribute("id"), focused)
        self.assertEqual(self.plant.device(), b"")

    def test_cut_sheet_stepped_and_printed(self):
        sheet = os.path.join(self.plant.folder, "cuts.csv")
        with open(sheet, "w", newline="") as f:
            f.write(CUTS)
        self.sign_in()
        self.by_id("sheet-file").send_keys(sheet)
        self.by_id("sheet-upload").click()
        self.wait(lambda: self.by_id("wip").get_attribute("value") == "40123", "the first cut")
        steps = [("move-next", "40124"), ("move-next", "40125"), ("move-back", "40124")]
        for button, wip in steps:
            self.by_id(button).click()
            self.wait(lambda: self.by_id("wip").get_attribute("value") == wip, "cut " + wip)
        from selenium.webdriver.support.ui import Select
        Select(self.by_id("cut-select")).select_by_value("2")
        self.by_id("move-to-cut").click()
        self.wait(lambda: self.by_id("wip").get_attribute("value") == "40123", "Move to Cut")
        # The values shown are the cut's, and they take no typing.
        shown = {box: self.by_id(box).get_attribute("value") for box in ("style", "color", "waist", "text1", "qty")}
        self.assertEqual(shown, {"style": "1234", "color": "O07", "waist": "32", "text1": "POLY COTTON WOVEN", "qty": "26"})
        self.assertEqual(self.by_id("wip").get_attribute("readonly"), "true")
        self.assertTrue(self.by_id("cut-loaded").is_displayed())
        self.by_id("print").click()
        self.assertTrue(self.result().startswith("Printed job 1: layout A1"))
        self.assertEqual(labels(self.plant.device()), 1)
        job = self.plant.history()[0]
        self.assertIn("cuts.csv", job)
        self.assertIn("2", job)

    def test_reprint_from_history_and_preview(self):
        self.sign_in()
        self.type_into(TYPED)
        self.by_id("preview").click()
        self.wait(lambda: self.driver.execute_script(
            "const i = document.getElementById('preview-image'); return i.complete && i.naturalWidth > 0"), "the preview")
        self.assertRegex(self.by_id("preview-info").text, r"^Layout C1, \d+ x \d+ dots, quantity 24$")
        self.assertEqual(self.plant.device(), b"")
        self.by_id("print").click()
        self.result()
        self.by_id("history-open").click()
        self.by_id("history-filter").send_keys("0045")
        self.wait(lambda: self.by_id("history-table").get_attribute("data-filter") == "0045", "the filtered list")
        row = self.wait(lambda: self.driver.find_element("css selector", "#history-table tbody tr[data-job='1']"),
                        "the job in History")
        row.click()
        self.by_id("reprint-qty").send_keys("3")
        self.by_id("reprint").click()
        self.wait(lambda: self.by_id("result").text.startswith("Reprinted"), "the reprint")
        self.assertEqual(self.by_id("result").text, "Reprinted job 1 as job 2, quantity 3.")
        self.assertEqual(labels(self.plant.device()), 2)


class Login(StationCase):
    def test_wrong_token_sign_out_and_a_foreign_origin(self):
        self.open_page()
        self.by_id("login-token").send_keys("tw_not-a-token")
        self.by_id("login-submit").click()
        self.wait(lambda: self.by_id("login-message").text == "The token is not known (revoked, or mistyped).",
                  "the refusal")
        self.sign_in()
        cookie = "tarnwick_session=" + self.driver.get_cookie("tarnwick_session")["value"]
        self.assertTrue(self.driver.get_cookie("tarnwick_session")["httpOnly"])
        # A request from another site carrying the session is refused, and prints nothing.
        status, _ = self.service.request("POST", "/api/v1/labels", {"wip": "1", "style": "1234", "quantity": 1},
                                         {"Cookie": cookie, "Origin": "http://elsewhere.example"})
        self.assertEqual(status, 403)
        status, _ = self.service.request("GET", "/api/v1/session", None, {"Cookie": cookie})
        self.assertEqual(status, 200)
        self.by_id("sign-out").click()
        self.wait(lambda: self.by_id("login").is_displayed(), "the sign-in after sign-out")
        # Ended on the server: the old cookie no longer signs anything in.
        status, _ = self.service.request("GET", "/api/v1/session", None, {"Cookie": cookie})
        self.assertEqual(status, 401)
        self.assertEqual(self.plant.device(), b"")


class Expiry(StationCase):
    extra_config = "ServiceSessionIdle,2\r\n"

    def test_an_idle_session_ends(self):
        self.sign_in()
        time.sleep(3)
        self.type_into(TYPED)
        self.by_id("print").click()
        self.wait(lambda: self.by_id("login").is_displayed(), "the sign-in")
        self.assertTrue(self.by_id("login-message").text.startswith("Your sign-in has ended"))
        self.assertEqual(self.plant.device(), b"")


class PlantOutage(StationCase):
    # Nothing listens there: the plant database does not answer.
    extra_config = 'PlantDatabase,"host=127.0.0.1 port=9 dbname=plant connect_timeout=1"\r\nPlantTimeout,1\r\n'

    def test_an_outage_is_told_as_a_live_notice(self):
        self.sign_in()
        self.type_into(TYPED)
        self.by_id("print").click()
        self.result()
        notice = self.wait(lambda: self.driver.find_element("css selector", "#notices .notice[data-source='plant']"),
                           "the plant's notice", timeout=15)
        self.assertTrue(notice.text)
        self.assertEqual(labels(self.plant.device()), 1)


if __name__ == "__main__":
    tempfile.tempdir = os.environ.get("TMPDIR") or None
    unittest.main()
