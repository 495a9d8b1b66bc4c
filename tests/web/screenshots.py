"""Pictures for the README: the browser station at 1280x800 and on a 10-inch tablet held
upright, beside the main window under Xvfb, all on the demo plant's cut sheet.

    TARNWICKD=build/bin/tarnwickd TARNWICK_CLI=build/bin/tarnwick-cli \\
        /usr/bin/python3 tests/web/screenshots.py [OUT_DIR]      (default docs/)
"""

import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from station import Plant, Service, browser  # noqa: E402

root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "docs"))
os.makedirs(out, exist_ok=True)

plant = Plant()
secret = plant.token("line1")
service = Service(plant)
sheet = os.path.join(root, "demo", "cuts.csv")
try:
    for name, width, height in (("station-1280x800.png", 1280, 800), ("station-tablet.png", 800, 1280)):
        driver = browser(width, height)
        try:
            driver.get(service.url + "/")
            time.sleep(0.5)
            driver.find_element("id", "login-token").send_keys(secret)
            driver.find_element("id", "login-submit").click()
            time.sleep(0.5)
            driver.find_element("id", "sheet-file").send_keys(sheet)
            driver.find_element("id", "sheet-upload").click()
            time.sleep(0.8)
            driver.find_element("id", "preview").click()
            time.sleep(1.0)
            driver.save_screenshot(os.path.join(out, name))
        finally:
            driver.quit()
    # The window on the same plant folder, for comparison.
    app = os.path.join(os.path.dirname(os.environ["TARNWICK_CLI"]), "tarnwick")
    if shutil.which("xvfb-run") and os.path.exists(app):
        # The window is placed at the screen's corner; its own size is what is kept.
        script = '"%s" & sleep 3; import -window root -crop 488x505+0+0 +repage "%s"; kill $!' % (
            app, os.path.join(out, "window.png"))
        subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "sh", "-c", script], check=False,
                       env=dict(os.environ, TARNWICK_PLANT=plant.folder))
finally:
    service.stop()
    plant.remove()

print("pictures in", out)
