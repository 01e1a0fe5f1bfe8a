"""Master of the spreadsheet add-in for Python."""
