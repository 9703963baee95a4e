"""Modules shared by every part of the application."""
