const s = '''
abc
'' x