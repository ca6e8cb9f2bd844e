"""Bittensor subnet owner burn rate monitoring via Taostats, with alerts to Telegram."""
