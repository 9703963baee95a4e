"""Platform-specific facilities."""
