placeholder abc.asp
