"""The shared test helpers: their bounds hold and they report faithfully."""

import ctypes
import logging
import threading
import time
import unittest

import testsupport


class WaitUntilTest(unittest.TestCase):

  def testReturnsTheTrueValueOnceItComes(self):
    calls = []

    def Predicate():
      calls.append(None)
      return len(calls) >= 3 and "done"

    self.assertEqual("done", testsupport.wait_until(Predicate, timeout=5.0))
    self.assertEqual(3, len(calls))

  def testGivesUpAfterTheBound(self):
    started = time.time()
    self.assertFalse(testsupport.wait_until(lambda: False, timeout=0.2))
    elapsed = time.time() - started
    self.assertGreaterEqual(elapsed, 0.2)
    self.assertLess(elapsed, 5.0)


class RunSnippetTest(unittest.TestCase):

  def testReturnsCodeAndOutputs(self):
    returncode, out, err = testsupport.run_snippet(
        "import sys; sys.stdout.write('out'); sys.stderr.write('err'); "
        "sys.exit(3)")
    self.assertEqual((3, "out", "err"), (returncode, out, err))

  def testPassesEnvironment(self):
    returncode, out, _ = testsupport.run_snippet(
        "import os; print(os.environ['SNIPPET_VALUE'])",
        env={"SNIPPET_VALUE": "given"})
    self.assertEqual((0, "given"), (returncode, out.strip()))

  def testKillsAHungChild(self):
    started = time.time()
    returncode, _, err = testsupport.run_snippet(
        "import time; time.sleep(60)", timeout=0.5)
    self.assertLess(time.time() - started, 30.0)
    self.assertLess(returncode, 0)
    self.assertIn("killed after 0.5 seconds", err)


class ThreadRunnerTest(unittest.TestCase):

  def testResultAndException(self):
    self.assertEqual(7, testsupport.ThreadRunner(lambda: 7).wait(5.0))

    def Fail():
      raise KeyError("inside")

    with self.assertRaises(KeyError):
      testsupport.ThreadRunner(Fail).wait(5.0)

  def testFailsWhenTheThreadOverrunsItsBound(self):
    release = threading.Event()
    runner = testsupport.ThreadRunner(release.wait, 10.0)
    try:
      with self.assertRaises(AssertionError):
        runner.wait(0.1)
    finally:
      release.set()
    runner.wait(5.0)


class CaptureLogsTest(unittest.TestCase):

  def testCapturesAndRestores(self):
    logger = logging.getLogger("testsupport.capture")
    logger.setLevel(logging.WARNING)
    with testsupport.capture_logs("testsupport.capture") as logs:
      logger.debug("one %s", "arg")
      logger.info("two")
    self.assertEqual([("DEBUG", "one arg"), ("INFO", "two")],
                     logs.messages())
    self.assertEqual(logging.WARNING, logger.level)
    self.assertTrue(logger.propagate)
    self.assertNotIn(logs, logger.handlers)


class CapsuleTest(unittest.TestCase):

  def testNamedCapsuleKeepsNameAndPointer(self):
    target = ctypes.c_int(5)
    capsule = testsupport.make_capsule("some signature",
                                       ctypes.addressof(target))
    self.assertEqual(ctypes.addressof(target),
                     testsupport.capsule_pointer(capsule, "some signature"))
    with self.assertRaises(ValueError):
      testsupport.capsule_pointer(capsule, "another signature")

  def testUnnamedCapsule(self):
    capsule = testsupport.make_capsule(None)
    self.assertTrue(testsupport.capsule_pointer(capsule, None))


if __name__ == "__main__":
  unittest.main()
