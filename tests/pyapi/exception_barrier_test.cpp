#include <Python.h>
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "pyapi/exception_barrier.h"

namespace {

PyObject* RunsOutOfMemory(PyObject*, PyObject*) { throw std::bad_alloc(); }
PyObject* FailsOtherwise(PyObject*, PyObject*, PyObject*) {
  throw std::runtime_error("odd state");
}
PyObject* ThrowsAnything(PyTypeObject*, PyObject*, PyObject*) { throw 7; }
PyObject* Succeeds(PyObject*, PyObject*) { Py_RETURN_NONE; }

class ExceptionBarrier : public ::testing::Test {
 protected:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { PyErr_Clear(); }
};

TEST_F(ExceptionBarrier, TurnsCxxExceptionsIntoInterpreterExceptions) {
  EXPECT_EQ(nullptr, py::Guarded<RunsOutOfMemory>(nullptr, nullptr));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
  PyErr_Clear();
  EXPECT_EQ(nullptr, py::Guarded<FailsOtherwise>(nullptr, nullptr, nullptr));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_SystemError));
  PyErr_Clear();
  EXPECT_EQ(nullptr, py::Guarded<ThrowsAnything>(nullptr, nullptr, nullptr));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_SystemError));
  PyErr_Clear();
  PyObject* none = py::Guarded<Succeeds>(nullptr, nullptr);
  EXPECT_EQ(Py_None, none);
  Py_XDECREF(none);
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(ExceptionBarrier, GuardedLoadLeavesTheExceptionPending) {
  py::GuardedLoad([] { throw std::bad_alloc(); });
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
}

}  // namespace
