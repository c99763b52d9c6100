"""What every layer of the companion shares: optional dependencies, the
package version, path arguments and the text of messages. Imports nothing
else of the package."""
