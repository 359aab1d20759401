#!/usr/bin/env python3
"""Pictures of the web page for the README: Chromium (headless, Selenium)
against the headless program recording the camera simulator's moving scene,
everything on loopback. Run it inside a network namespace of its own, as
scripts/screenshots.sh does, so only that loopback can be reached.

    web_page_screenshots.py RECORDER SIMULATOR OUT_DIR
Writes web-signin.png, web-live.png, web-recordings.png, web-settings.png,
web-log.png (1280 wide) and web-live-phone.png, web-settings-phone.png
(390 wide). Exit 77 when Chromium, its driver or Selenium is missing.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from browser_support import By, WebDriverWait, chromium, end, open_when_served, start_service, write_settings

recorder, simulator, out = (os.path.abspath(a) for a in sys.argv[1:4])
CAMERA_PORT, WEB_PORT = 8081, 8088
BASE = "http://127.0.0.1:%d" % WEB_PORT
PASSWORD = "screenshot pass"

work = tempfile.mkdtemp(prefix="ipcam-web-shots-")
settings = write_settings(recorder, work, WEB_PORT, PASSWORD,
                          "Host_Port=%d\nIPCAM_Password=pxwqe\nResolution=0\nFrequency=1\nQuality=1\nBrightness=1\n"
                          "Keep_Days=30\nMotion_Detection_Enabled=0\nMotion_sensitivity=5\n"
                          "Camera_URL=http://127.0.0.1:%d/stream\n" % (CAMERA_PORT, CAMERA_PORT))
camera = service = driver = None
try:
    camera = subprocess.Popen([simulator, "--port", str(CAMERA_PORT), "--http-port", "0", "--mjpeg", "/stream",
                               "--size", "640x480", "--fps", "10", "--name", "Front door"],
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    service = start_service(recorder, settings, keep_output=False)
except Exception:
    for p in (service, camera):
        if p:
            p.kill()
    raise


def viewport(width, height, phone):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": phone})


def shoot(name):
    time.sleep(0.5)
    path = os.path.join(out, name)
    driver.save_screenshot(path)
    print("wrote", path)


try:
    driver = chromium(1280, 800, "--hide-scrollbars")
    wait = WebDriverWait(driver, 30)
    by_id = lambda name: driver.find_element(By.ID, name)
    viewport(1280, 800, False)

    open_when_served(driver, BASE + "/signin")
    shoot("web-signin.png")
    by_id("user").send_keys("admin")
    by_id("password").send_keys(PASSWORD)
    by_id("password").submit()
    wait.until(lambda d: not d.current_url.endswith("/signin"))

    # Live, while recording: the camera's picture and the recording's counters.
    driver.get(BASE + "/#live")
    wait.until(lambda d: by_id("st-link").text.startswith("Up"))
    wait.until(lambda d: d.execute_script("return document.getElementById('live-picture').naturalWidth") > 0)
    by_id("do-record").click()
    wait.until(lambda d: by_id("st-recording").text.startswith("Manual"))
    time.sleep(4)
    shoot("web-live.png")
    by_id("do-stop").click()
    wait.until(lambda d: by_id("st-recording").text == "not recording")

    # Recordings: the one just made, open in the player.
    driver.get(BASE + "/#recordings")
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#rec-list button"))
    driver.find_element(By.CSS_SELECTOR, "#rec-list button").click()
    wait.until(lambda d: d.execute_script(
        "const i = document.querySelector('#player-view img'); return i && i.naturalWidth > 0"))
    time.sleep(1.5)
    shoot("web-recordings.png")

    driver.get(BASE + "/#settings")
    wait.until(lambda d: d.find_elements(By.ID, "f-Keep_Days"))
    shoot("web-settings.png")

    driver.get(BASE + "/#log")
    wait.until(lambda d: "Recording finished" in by_id("log-lines").text)
    shoot("web-log.png")

    # A phone's width.
    viewport(390, 844, True)
    driver.get(BASE + "/#live")
    wait.until(lambda d: d.execute_script("return document.getElementById('live-picture').naturalWidth") > 0)
    time.sleep(1)
    shoot("web-live-phone.png")
    driver.get(BASE + "/#settings")
    wait.until(lambda d: d.find_elements(By.ID, "f-Keep_Days"))
    shoot("web-settings-phone.png")
finally:
    if driver:
        driver.quit()
    end(service)
    end(camera)
    shutil.rmtree(work, ignore_errors=True)
